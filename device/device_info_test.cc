#include "device/device_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "db/hash58.h"
#include "platform/fs.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using ::testing::HasSubstr;

constexpr char kUsbDevice[] = "devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr char kPartition[] = "1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";

std::string PlistWith(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n"
         "\t<key>SerialNumber</key>\n\t<string>8K7410S0Y5N</string>\n" +
         body + "</dict>\n</plist>\n";
}

// A database image with every length final: header 0xF4, total length set.
std::string MakeDatabase(size_t size, uint16_t scheme) {
  std::string s(size, '\0');
  for (size_t i = 0xF4; i < size; ++i) s[i] = static_cast<char>(i * 13);
  s.replace(0, 4, "mhbd");
  s[4] = static_cast<char>(0xF4);
  for (int i = 0; i < 4; ++i) s[8 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
  s[0x30] = static_cast<char>(scheme & 0xFF);
  s[0x31] = static_cast<char>(scheme >> 8);
  return s;
}

class DeviceInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = stdfs::temp_directory_path() /
            ("cadenza_devinfo_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    stdfs::remove_all(base_);
    root_ = base_ / "media" / "IPOD";
    stdfs::create_directories(root_);
    root_ = stdfs::canonical(root_);
    stdfs::create_directories(base_ / "sys");
    options_.sysfs_root = (base_ / "sys").string();
    options_.mountinfo_path = (base_ / "mountinfo").string();
    // By default the folder lies on an internal disk.
    WriteFile(base_ / "mountinfo",
              "25 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n");
  }
  void TearDown() override { stdfs::remove_all(base_); }

  static void WriteFile(const stdfs::path& p, const std::string& s) {
    stdfs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << s;
  }
  void WriteSysInfo(const std::string& s) { WriteFile(root_ / "iPod_Control/Device/SysInfo", s); }
  void WriteExtended(const std::string& s) {
    WriteFile(root_ / "iPod_Control/Device/SysInfoExtended", s);
  }
  void WriteDatabase(const std::string& s) { WriteFile(root_ / "iPod_Control/iTunes/iTunesDB", s); }

  // A fake sysfs in which the volume at root_ (block device 8:17, /dev/sdb1)
  // belongs to the USB device 1-2, and a mount table that says so.
  void PlugIn(const std::string& vendor, const std::string& product, const std::string& serial,
              bool with_dev_link = true) {
    stdfs::path sys = base_ / "sys";
    stdfs::path usb = sys / kUsbDevice;
    WriteFile(usb.parent_path() / "idVendor", "1d6b\n");  // the root hub
    WriteFile(usb / "idVendor", vendor + "\n");
    WriteFile(usb / "idProduct", product + "\n");
    if (!serial.empty()) WriteFile(usb / "serial", serial + "\n");
    WriteFile(usb / "product", "iPod\n");
    WriteFile(usb / kPartition / "dev", "8:17\n");
    std::string target = std::string("../../") + kUsbDevice + "/" + kPartition;
    if (with_dev_link) {
      stdfs::create_directories(sys / "dev" / "block");
      stdfs::create_directory_symlink(target, sys / "dev" / "block" / "8:17");
    }
    stdfs::create_directories(sys / "class" / "block");
    stdfs::create_directory_symlink(target, sys / "class" / "block" / "sdb1");
    std::string mount_point = root_.string();
    std::string escaped;
    for (char c : mount_point) escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
    WriteFile(base_ / "mountinfo",
              "25 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
              "36 25 8:17 / " + escaped +
                  " rw,nosuid,nodev,relatime shared:150 - vfat /dev/sdb1 rw,uid=1000\n");
  }

  DeviceInfo Read() { return ReadDeviceInfo(root_.string(), options_); }

  stdfs::path VectorFile(const std::string& folder) {
    return stdfs::path(CADENZA_SHARED_DIR) / "hash58-vectors" / folder / "iTunesDB";
  }

  stdfs::path base_;
  stdfs::path root_;
  DeviceProbeOptions options_;
};

// ---- Devices that need hash58 ----

TEST_F(DeviceInfoTest, ClassicWithSysInfoIsSignedWithItsGuid) {
  WriteSysInfo("BoardHwName: iPod Q98\nModelNumStr: xB029\nFirewireGuid: 0x000A2700113EF298\n");
  DeviceInfo info = Read();
  EXPECT_EQ(info.DeviceName(), "iPod classic 6G");
  EXPECT_EQ(info.model_number, "B029");
  EXPECT_EQ(info.scheme, ChecksumScheme::kHash58);
  EXPECT_EQ(info.scheme_source, InfoSource::kSysInfo);
  EXPECT_EQ(info.guid, "000A2700113EF298");
  EXPECT_EQ(info.guid_source, InfoSource::kSysInfo);
  ASSERT_TRUE(info.refusal.ok()) << info.refusal.message();

  // Signing the bytes of the libgpod-signed vector, with its checksum
  // blanked, gives back that file exactly.
  std::string expected;
  if (fs::ReadWholeFile(VectorFile("xB029_000A2700113EF298").string(), &expected).ok()) {
    std::string image = expected;
    image.replace(0x58, 20, 20, '\0');
    image[0x30] = 0;
    ASSERT_TRUE(SignForDevice(info, &image).ok());
    EXPECT_TRUE(image == expected);
  }
  // Any complete database gets a checksum that verifies, and a stale hash72
  // is cleared.
  std::string image = MakeDatabase(4000, 0);
  image.replace(0x72, 46, 46, '\x5a');
  ASSERT_TRUE(SignForDevice(info, &image).ok());
  EXPECT_EQ(image.substr(0x72, 46), std::string(46, '\0'));
  hash58::Guid guid;
  ASSERT_TRUE(hash58::ParseGuid(info.guid, &guid).ok());
  EXPECT_TRUE(hash58::Verify(image, guid).ok());

  // A database that cannot carry the checksum is refused and left alone.
  std::string tiny = MakeDatabase(0x60, 0);
  const std::string tiny_before = tiny;
  EXPECT_FALSE(SignForDevice(info, &tiny).ok());
  EXPECT_EQ(tiny, tiny_before);
}

TEST_F(DeviceInfoTest, SysInfoExtendedComesFirstForSchemeAndGuid) {
  // SysInfo says video 5G with another GUID; SysInfoExtended wins both.
  WriteSysInfo("ModelNumStr: xA147\nFirewireGuid: 0x000A27001234ABCD\n");
  WriteExtended(PlistWith(
      "\t<key>FireWireGUID</key>\n\t<string>000a2700ffff8040</string>\n"
      "\t<key>DBVersion</key>\n\t<integer>3</integer>\n"));
  DeviceInfo info = Read();
  EXPECT_EQ(info.scheme, ChecksumScheme::kHash58);
  EXPECT_EQ(info.scheme_source, InfoSource::kSysInfoExtended);
  EXPECT_EQ(info.guid, "000A2700FFFF8040");
  EXPECT_EQ(info.guid_source, InfoSource::kSysInfoExtended);
  EXPECT_TRUE(info.refusal.ok());

  std::string expected;
  if (fs::ReadWholeFile(VectorFile("xB565_000A2700FFFF8040").string(), &expected).ok()) {
    std::string image = expected;
    image.replace(0x58, 20, 20, '\0');
    ASSERT_TRUE(SignForDevice(info, &image).ok());
    EXPECT_TRUE(image == expected);
  }
}

TEST_F(DeviceInfoTest, DbVersionDecidesEveryScheme) {
  struct Case {
    const char* version;
    ChecksumScheme scheme;
    bool refused;
  };
  for (const Case& c : {Case{"0", ChecksumScheme::kNone, false},
                        Case{"2", ChecksumScheme::kNone, false},
                        Case{"3", ChecksumScheme::kHash58, false},
                        Case{"4", ChecksumScheme::kHash72, true},
                        Case{"5", ChecksumScheme::kHashAB, true},
                        Case{"6", ChecksumScheme::kUnknown, true}}) {
    WriteExtended(PlistWith("<key>FireWireGUID</key><string>000A2700113EF298</string>"
                            "<key>DBVersion</key><integer>" +
                            std::string(c.version) + "</integer>"));
    DeviceInfo info = Read();
    EXPECT_EQ(info.scheme, c.scheme) << c.version;
    EXPECT_EQ(info.scheme_source, InfoSource::kSysInfoExtended);
    EXPECT_EQ(!info.refusal.ok(), c.refused) << c.version;
  }
}

TEST_F(DeviceInfoTest, MalformedGuidsAreSkippedNeverTruncated) {
  WriteSysInfo("ModelNumStr: MB565LL/A\nFirewireGuid: 0x000A27001234ABCD\n");
  WriteExtended(PlistWith("<key>FireWireGUID</key><string>000A27001234ABCD00</string>"));
  DeviceInfo info = Read();
  EXPECT_EQ(info.model_number, "B565");
  EXPECT_EQ(info.DeviceName(), "iPod classic 6.5G");
  EXPECT_EQ(info.scheme_source, InfoSource::kSysInfo);
  EXPECT_EQ(info.guid, "000A27001234ABCD");
  EXPECT_EQ(info.guid_source, InfoSource::kSysInfo);
  ASSERT_FALSE(info.notes.empty());
  EXPECT_THAT(info.notes[0], HasSubstr("000A27001234ABCD00"));

  // With only malformed GUIDs there is none.
  WriteSysInfo("ModelNumStr: MB565LL/A\nFirewireGuid: 0x000A27001234ABC\n");
  info = Read();
  EXPECT_TRUE(info.guid.empty());
  EXPECT_FALSE(info.refusal.ok());
}

TEST_F(DeviceInfoTest, DevicePathsIgnoreCase) {
  WriteFile(root_ / "IPOD_CONTROL/device/sysinfo",
            "ModelNumStr: xA978\r\nFirewireGuid: 0x000A2700113EF298\r\n");
  DeviceInfo info = Read();
  EXPECT_EQ(info.DeviceName(), "iPod nano 3G");
  EXPECT_EQ(info.scheme, ChecksumScheme::kHash58);
  EXPECT_EQ(info.guid, "000A2700113EF298");
}

// ---- Refusals ----

TEST_F(DeviceInfoTest, ClassicWithoutGuidIsRefusedWithTheSysInfoHint) {
  WriteSysInfo("ModelNumStr: xC293\n");
  DeviceInfo info = Read();
  EXPECT_EQ(info.DeviceName(), "iPod classic 7G");
  EXPECT_EQ(info.scheme, ChecksumScheme::kHash58);
  EXPECT_TRUE(info.guid.empty());
  ASSERT_FALSE(info.refusal.ok());
  const std::string& m = info.refusal.message();
  EXPECT_THAT(m, HasSubstr("FireWire GUID"));
  EXPECT_THAT(m, HasSubstr("FirewireGuid: 0x000A27XXXXXXXXXX"));
  EXPECT_THAT(m, HasSubstr((root_ / "iPod_Control/Device/SysInfo").string()));

  std::string image = MakeDatabase(1000, 0);
  const std::string before = image;
  Status st = SignForDevice(info, &image);
  EXPECT_EQ(st.message(), m);
  EXPECT_EQ(image, before);

  // A GUID is never made up, even for a hand-built record.
  DeviceInfo forged;
  forged.scheme = ChecksumScheme::kHash58;
  forged.guid = "000A2700";
  EXPECT_FALSE(SignForDevice(forged, &image).ok());
  EXPECT_EQ(image, before);
}

TEST_F(DeviceInfoTest, SchemesThatCannotBeProducedAreRefused) {
  struct Case {
    const char* model;
    const char* name;
    ChecksumScheme scheme;
  };
  for (const Case& c : {Case{"xC027", "iPod nano 5G", ChecksumScheme::kHash72},
                        Case{"MC062LL/A", "iPod nano 5G", ChecksumScheme::kHash72},
                        Case{"xC688", "iPod nano 6G", ChecksumScheme::kHashAB},
                        Case{"xD475", "iPod nano 7G", ChecksumScheme::kHashAB}}) {
    SCOPED_TRACE(c.model);
    // Even with a GUID at hand.
    WriteSysInfo(std::string("ModelNumStr: ") + c.model + "\nFirewireGuid: 0x000A2700113EF298\n");
    DeviceInfo info = Read();
    EXPECT_EQ(info.DeviceName(), c.name);
    EXPECT_EQ(info.scheme, c.scheme);
    ASSERT_FALSE(info.refusal.ok());
    EXPECT_THAT(info.refusal.message(), HasSubstr(c.name));
    EXPECT_THAT(info.refusal.message(), HasSubstr(SchemeName(c.scheme)));
    std::string image = MakeDatabase(1000, 0);
    const std::string before = image;
    EXPECT_FALSE(SignForDevice(info, &image).ok());
    EXPECT_EQ(image, before);
  }
}

TEST_F(DeviceInfoTest, DamagedSysInfoExtendedIsAClearError) {
  // SysInfo alone would allow the write; the damaged file stops it.
  WriteSysInfo("ModelNumStr: xA147\nFirewireGuid: 0x000A27001234ABCD\n");
  const std::string good = PlistWith("<key>DBVersion</key><integer>3</integer>");
  for (const std::string& damaged :
       {std::string(), std::string("not a property list"), good.substr(0, good.size() / 2),
        std::string("\x00\x01\x02garbage", 10),
        std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"),
        PlistWith("<key>DBVersion</key><string>three</string>")}) {
    SCOPED_TRACE(damaged);
    WriteExtended(damaged);
    DeviceInfo info = Read();
    ASSERT_FALSE(info.refusal.ok());
    EXPECT_EQ(info.refusal.code(), Status::Code::kCorrupt);
    EXPECT_THAT(info.refusal.message(), HasSubstr("SysInfoExtended"));
    EXPECT_THAT(info.refusal.message(), HasSubstr("damaged"));
    // The rest is still reported.
    EXPECT_EQ(info.DeviceName(), "iPod video 5G");
    std::string image = MakeDatabase(1000, 0);
    const std::string before = image;
    EXPECT_EQ(SignForDevice(info, &image).code(), Status::Code::kCorrupt);
    EXPECT_EQ(image, before);
  }
  // Something that is not a regular file (here a FIFO nobody writes to) is
  // reported without waiting for it.
  stdfs::remove(root_ / "iPod_Control/Device/SysInfoExtended");
  ASSERT_EQ(::mkfifo((root_ / "iPod_Control/Device/SysInfoExtended").c_str(), 0600), 0);
  EXPECT_EQ(Read().refusal.code(), Status::Code::kCorrupt);
  stdfs::remove(root_ / "iPod_Control/Device/SysInfoExtended");
  // A file too large to be a SysInfoExtended is not read whole.
  WriteExtended(std::string((1 << 20) + 1, ' '));
  EXPECT_EQ(Read().refusal.code(), Status::Code::kCorrupt);
}

// ---- Devices and folders that need no checksum ----

TEST_F(DeviceInfoTest, VideoAndPlainFoldersKeepTheirBytes) {
  std::string vector;
  std::string image = MakeDatabase(2000, 0);
  if (fs::ReadWholeFile(VectorFile("xA147_000A27001234ABCD_nohash").string(), &vector).ok()) {
    image = vector;
  }
  const std::string before = image;

  WriteSysInfo("ModelNumStr: xA147\nFirewireGuid: 0x000A27001234ABCD\n");
  DeviceInfo video = Read();
  EXPECT_EQ(video.DeviceName(), "iPod video 5G");
  EXPECT_EQ(video.scheme, ChecksumScheme::kNone);
  EXPECT_EQ(video.scheme_source, InfoSource::kSysInfo);
  EXPECT_TRUE(video.refusal.ok());
  ASSERT_TRUE(SignForDevice(video, &image).ok());
  EXPECT_EQ(image, before);

  stdfs::remove_all(root_ / "iPod_Control");
  DeviceInfo plain = Read();
  EXPECT_EQ(plain.scheme, ChecksumScheme::kNone);
  EXPECT_EQ(plain.scheme_source, InfoSource::kNone);
  EXPECT_TRUE(plain.guid.empty());
  EXPECT_TRUE(plain.family.empty());
  EXPECT_TRUE(plain.refusal.ok());
  ASSERT_TRUE(SignForDevice(plain, &image).ok());
  EXPECT_EQ(image, before);
  // Even a damaged image passes through untouched when no checksum is needed.
  std::string junk = "junk";
  EXPECT_TRUE(SignForDevice(plain, &junk).ok());
  EXPECT_EQ(junk, "junk");
}

TEST_F(DeviceInfoTest, TheDatabaseOnTheDeviceDecidesLast) {
  WriteDatabase(MakeDatabase(500, 0));
  DeviceInfo info = Read();
  EXPECT_EQ(info.scheme, ChecksumScheme::kNone);
  EXPECT_EQ(info.scheme_source, InfoSource::kDatabase);
  EXPECT_TRUE(info.refusal.ok());

  // A database marked hash58, and no GUID anywhere: refused.
  WriteDatabase(MakeDatabase(500, 1));
  info = Read();
  EXPECT_EQ(info.scheme, ChecksumScheme::kHash58);
  EXPECT_EQ(info.scheme_source, InfoSource::kDatabase);
  EXPECT_FALSE(info.refusal.ok());

  // An iPod that nothing identifies is never taken to need nothing.
  stdfs::remove(root_ / "iPod_Control/iTunes/iTunesDB");
  WriteSysInfo("ModelNumStr: xZ999\n");
  info = Read();
  EXPECT_EQ(info.scheme, ChecksumScheme::kUnknown);
  EXPECT_FALSE(info.refusal.ok());
  EXPECT_THAT(info.refusal.message(), HasSubstr("cannot tell"));
  // ... but a known model wins over the database's field.
  WriteSysInfo("ModelNumStr: M9724\n");
  WriteDatabase(MakeDatabase(500, 1));
  info = Read();
  EXPECT_EQ(info.DeviceName(), "iPod shuffle 1G");
  EXPECT_EQ(info.scheme, ChecksumScheme::kNone);
  EXPECT_EQ(info.scheme_source, InfoSource::kSysInfo);
}

// ---- The USB device behind the volume ----

TEST_F(DeviceInfoTest, UsbProductIdAndSerialFromSysfs) {
  PlugIn("05ac", "1261", "000A270015603CB2");
  DeviceInfo info = Read();
  EXPECT_EQ(info.usb_product_id, 0x1261);
  EXPECT_EQ(info.family, "iPod classic");
  EXPECT_EQ(info.scheme, ChecksumScheme::kHash58);
  EXPECT_EQ(info.scheme_source, InfoSource::kUsb);
  EXPECT_EQ(info.guid, "000A270015603CB2");
  EXPECT_EQ(info.guid_source, InfoSource::kUsb);
  ASSERT_TRUE(info.refusal.ok());
  std::string image = MakeDatabase(3000, 0);
  ASSERT_TRUE(SignForDevice(info, &image).ok());
  hash58::Guid guid;
  ASSERT_TRUE(hash58::ParseGuid("000A270015603CB2", &guid).ok());
  EXPECT_TRUE(hash58::Verify(image, guid).ok());

  std::string text = DescribeDevice(info);
  EXPECT_THAT(text, HasSubstr("iPod classic"));
  EXPECT_THAT(text, HasSubstr("USB product id 1261"));
  EXPECT_THAT(text, HasSubstr("hash58 (from USB device)"));
  EXPECT_THAT(text, HasSubstr("000A270015603CB2 (from USB device)"));
  // The root may be given with a trailing separator.
  EXPECT_EQ(ReadDeviceInfo(root_.string() + "/", options_).guid, "000A270015603CB2");

  // SysInfo's model and GUID come before the USB device's.
  WriteSysInfo("ModelNumStr: xB598\nFirewireGuid: 0x000A27001234ABCD\n");
  info = Read();
  EXPECT_EQ(info.DeviceName(), "iPod nano 4G");
  EXPECT_EQ(info.scheme_source, InfoSource::kSysInfo);
  EXPECT_EQ(info.guid, "000A27001234ABCD");
  EXPECT_EQ(info.guid_source, InfoSource::kSysInfo);
  // A SysInfo without a GUID line still gets the USB serial.
  WriteSysInfo("ModelNumStr: xB598\n");
  info = Read();
  EXPECT_EQ(info.guid, "000A270015603CB2");
  EXPECT_EQ(info.guid_source, InfoSource::kUsb);
}

TEST_F(DeviceInfoTest, UsbNano5GIsRefusedAndUnknownProductsAreNotAssumedSafe) {
  PlugIn("05ac", "1265", "000A27001B44A7F9");
  DeviceInfo info = Read();
  EXPECT_EQ(info.DeviceName(), "iPod nano 5G");
  EXPECT_EQ(info.scheme, ChecksumScheme::kHash72);
  EXPECT_FALSE(info.refusal.ok());

  stdfs::remove_all(base_ / "sys");
  stdfs::create_directories(base_ / "sys");
  PlugIn("05AC", "12ff", "");
  info = Read();
  EXPECT_EQ(info.usb_product_id, 0x12ff);
  EXPECT_EQ(info.scheme, ChecksumScheme::kUnknown);
  EXPECT_FALSE(info.refusal.ok());
  EXPECT_THAT(info.refusal.message(), HasSubstr("12ff"));
}

TEST_F(DeviceInfoTest, OtherUsbDisksAndOtherMountsAreNotIPods) {
  // A USB stick from another vendor needs nothing.
  PlugIn("0781", "5567", "4C530001230");
  DeviceInfo info = Read();
  EXPECT_EQ(info.scheme, ChecksumScheme::kNone);
  EXPECT_EQ(info.usb_product_id, 0);
  EXPECT_TRUE(info.guid.empty());

  // The block device is also found by its name when the device-number link
  // is missing; a mount point with a blank in it is unescaped.
  stdfs::remove_all(base_ / "sys");
  stdfs::create_directories(base_ / "sys");
  stdfs::path spaced = root_.parent_path() / "MY IPOD";
  stdfs::create_directories(spaced);
  root_ = spaced;
  PlugIn("05ac", "1262", "000A27001BC8EED6", /*with_dev_link=*/false);
  info = Read();
  EXPECT_EQ(info.DeviceName(), "iPod nano 3G");
  EXPECT_EQ(info.guid, "000A27001BC8EED6");

  // A folder on another mount than the iPod's is not the iPod.
  stdfs::path elsewhere = base_ / "elsewhere";
  stdfs::create_directories(elsewhere);
  info = ReadDeviceInfo(elsewhere.string(), options_);
  EXPECT_EQ(info.scheme, ChecksumScheme::kNone);
  EXPECT_EQ(info.usb_product_id, 0);

  // Missing or unreadable mount tables and sysfs trees are no error.
  options_.mountinfo_path = (base_ / "missing").string();
  info = Read();
  EXPECT_EQ(info.scheme, ChecksumScheme::kNone);
  EXPECT_TRUE(info.refusal.ok());
}

}  // namespace
}  // namespace cadenza
