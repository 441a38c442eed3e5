#include "device/device_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/fs.h"
#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using ::testing::AllOf;
using ::testing::HasSubstr;

constexpr char kUsbDevice[] = "devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr char kPartition[] = "1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";
constexpr char kExtended[] = "iPod_Control/Device/SysInfoExtended";
constexpr char kRootMount[] = "25 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n";

std::string PlistWith(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
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

// Signing is refused and leaves the image as it was.
void ExpectSignRefused(const DeviceInfo& info) {
  std::string image = MakeDatabase(1000, 0);
  const std::string before = image;
  EXPECT_FALSE(SignForDevice(info, &image).ok());
  EXPECT_EQ(image, before);
}

class DeviceInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = FreshTestDir("cadenza_devinfo");
    stdfs::create_directories(base_ / "media" / "IPOD");
    stdfs::create_directories(base_ / "sys");
    root_ = stdfs::canonical(base_ / "media" / "IPOD");
    options_.sysfs_root = (base_ / "sys").string();
    options_.mountinfo_path = (base_ / "mountinfo").string();
    WriteFile(base_ / "mountinfo", kRootMount);  // the folder lies on an internal disk
  }
  void TearDown() override { stdfs::remove_all(base_); }

  static void WriteFile(const stdfs::path& p, const std::string& s) {
    stdfs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << s;
  }
  void WriteSysInfo(const std::string& s) { WriteFile(root_ / "iPod_Control/Device/SysInfo", s); }
  void WriteExtended(const std::string& s) { WriteFile(root_ / kExtended, s); }

  // A fake sysfs in which the volume at root_ (block device 8:17, /dev/sdb1)
  // belongs to the USB device 1-2, and a mount table that says so.
  void PlugIn(const std::string& vendor, const std::string& product, const std::string& serial,
              bool with_dev_link = true) {
    stdfs::remove_all(base_ / "sys");
    stdfs::path sys = base_ / "sys", usb = sys / kUsbDevice;
    WriteFile(usb.parent_path() / "idVendor", "1d6b\n");  // the root hub
    WriteFile(usb / "idVendor", vendor + "\n");
    WriteFile(usb / "idProduct", product + "\n");
    if (!serial.empty()) WriteFile(usb / "serial", serial + "\n");
    WriteFile(usb / kPartition / "dev", "8:17\n");
    std::string target = std::string("../../") + kUsbDevice + "/" + kPartition;
    if (with_dev_link) {
      stdfs::create_directories(sys / "dev" / "block");
      stdfs::create_directory_symlink(target, sys / "dev" / "block" / "8:17");
    }
    stdfs::create_directories(sys / "class" / "block");
    stdfs::create_directory_symlink(target, sys / "class" / "block" / "sdb1");
    std::string escaped;
    for (char c : root_.string()) escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
    WriteFile(base_ / "mountinfo", std::string(kRootMount) + "36 25 8:17 / " + escaped +
                                       " rw,nosuid shared:150 - vfat /dev/sdb1 rw,uid=1000\n");
  }

  DeviceInfo Read() { return ReadDeviceInfo(root_.string(), options_); }
  // The device as one line: name | scheme, from | GUID, from | ok or refused.
  std::string Summary() {
    DeviceInfo i = Read();
    return i.DeviceName() + "|" + SchemeName(i.scheme) + ", " + SourceName(i.scheme_source) +
           "|" + i.guid + ", " + SourceName(i.guid_source) + "|" +
           (i.refusal.ok() ? "ok" : "refused");
  }

  // Checks that signing the libgpod-signed vector `folder`, with its checksum
  // blanked, gives back that file exactly.
  void ExpectResignsVector(const DeviceInfo& info, const std::string& folder) {
    std::string expected;
    stdfs::path p = stdfs::path(CADENZA_SHARED_DIR) / "hash58-vectors" / folder / "iTunesDB";
    if (!fs::ReadWholeFile(p.string(), &expected).ok()) return;
    std::string image = expected;
    image.replace(0x58, 20, 20, '\0');
    image[0x30] = 0;
    ASSERT_TRUE(SignForDevice(info, &image).ok());
    EXPECT_TRUE(image == expected);
  }

  stdfs::path base_, root_;
  DeviceProbeOptions options_;
};

TEST_F(DeviceInfoTest, ClassicWithSysInfoIsSignedWithItsGuid) {
  // Device paths ignore case; CR LF line ends are fine.
  WriteFile(root_ / "IPOD_CONTROL/device/sysinfo",
            "BoardHwName: iPod Q98\r\nModelNumStr: xB029\r\nFirewireGuid: 0x000A2700113EF298\r\n");
  EXPECT_EQ(Summary(), "iPod classic 6G|hash58, SysInfo|000A2700113EF298, SysInfo|ok");
  ExpectResignsVector(Read(), "xB029_000A2700113EF298");
}

TEST_F(DeviceInfoTest, SysInfoExtendedComesFirstAndMalformedGuidsAreSkipped) {
  // SysInfo says video 5G with another GUID; SysInfoExtended wins both.
  WriteSysInfo("ModelNumStr: xA147\nFirewireGuid: 0x000A27001234ABCD\n");
  WriteExtended(PlistWith("\t<key>FireWireGUID</key>\n\t<string>000a2700ffff8040</string>\n"
                          "\t<key>DBVersion</key>\n\t<integer>3</integer>\n"));
  EXPECT_EQ(Summary(),
            "iPod video 5G|hash58, SysInfoExtended|000A2700FFFF8040, SysInfoExtended|ok");
  ExpectResignsVector(Read(), "xB565_000A2700FFFF8040");

  // A GUID that is too long is skipped, never truncated.
  WriteSysInfo("ModelNumStr: MB565LL/A\nFirewireGuid: 0x000A27001234ABCD\n");
  WriteExtended(PlistWith("<key>FireWireGUID</key><string>000A27001234ABCD00</string>"));
  EXPECT_EQ(Summary(), "iPod classic 6.5G|hash58, SysInfo|000A27001234ABCD, SysInfo|ok");
  ASSERT_FALSE(Read().notes.empty());
  EXPECT_THAT(Read().notes[0], HasSubstr("000A27001234ABCD00"));
  WriteSysInfo("ModelNumStr: MB565LL/A\nFirewireGuid: 0x000A27001234ABC\n");
  EXPECT_EQ(Summary(), "iPod classic 6.5G|hash58, SysInfo|, none|refused");
}

TEST_F(DeviceInfoTest, DbVersionDecidesEveryScheme) {
  const std::pair<const char*, const char*> cases[] = {
      {"0", "none|ok"},      {"2", "none|ok"},      {"3", "hash58|ok"},
      {"4", "hash72|refused"}, {"5", "hashAB|refused"}, {"6", "unknown|refused"}};
  for (const auto& [version, want] : cases) {
    WriteExtended(PlistWith("<key>FireWireGUID</key><string>000A2700113EF298</string>"
                            "<key>DBVersion</key><integer>" + std::string(version) + "</integer>"));
    DeviceInfo info = Read();
    EXPECT_EQ(std::string(SchemeName(info.scheme)) + (info.refusal.ok() ? "|ok" : "|refused"),
              want) << version;
  }
}

TEST_F(DeviceInfoTest, ClassicWithoutGuidIsRefusedWithTheSysInfoHint) {
  WriteSysInfo("ModelNumStr: xC293\n");
  EXPECT_EQ(Summary(), "iPod classic 7G|hash58, SysInfo|, none|refused");
  DeviceInfo info = Read();
  const std::string& m = info.refusal.message();
  EXPECT_THAT(m, HasSubstr("FirewireGuid: 0x000A27XXXXXXXXXX"));
  EXPECT_THAT(m, HasSubstr((root_ / "iPod_Control/Device/SysInfo").string()));
  ExpectSignRefused(info);
  // A GUID is never made up, even for a hand-built record.
  DeviceInfo forged;
  forged.scheme = ChecksumScheme::kHash58;
  forged.guid = "000A2700";
  ExpectSignRefused(forged);
}

TEST_F(DeviceInfoTest, SchemesThatCannotBeProducedAreRefused) {
  // Even with a GUID at hand.
  for (const auto& [model, name, scheme] : {std::tuple{"MC062LL/A", "iPod nano 5G", "hash72"},
                                            std::tuple{"xC688", "iPod nano 6G", "hashAB"}}) {
    WriteSysInfo(std::string("ModelNumStr: ") + model + "\nFirewireGuid: 0x000A2700113EF298\n");
    EXPECT_EQ(Summary(), std::string(name) + "|" + scheme + ", SysInfo|000A2700113EF298, SysInfo|refused");
    EXPECT_THAT(Read().refusal.message(),
                AllOf(HasSubstr(name), HasSubstr(std::string("(") + scheme + ")")));
    ExpectSignRefused(Read());
  }
}

TEST_F(DeviceInfoTest, DamagedSysInfoExtendedIsAClearError) {
  // SysInfo alone would allow the write; the damaged file stops it.
  WriteSysInfo("ModelNumStr: xA147\nFirewireGuid: 0x000A27001234ABCD\n");
  const std::string good = PlistWith("<key>DBVersion</key><integer>3</integer>");
  for (const std::string& damaged :
       {std::string(), good.substr(0, good.size() / 2), std::string("\x00\x01\x02garbage", 10),
        std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"),
        PlistWith("<key>DBVersion</key><string>three</string>")}) {
    SCOPED_TRACE(damaged);
    WriteExtended(damaged);
    DeviceInfo info = Read();
    EXPECT_EQ(info.refusal.code(), Status::Code::kCorrupt);
    EXPECT_THAT(info.refusal.message(), HasSubstr("SysInfoExtended"));
    EXPECT_EQ(info.DeviceName(), "iPod video 5G") << "the rest is still reported";
    ExpectSignRefused(info);
  }
  // A FIFO nobody writes to is reported without waiting for it; a file too
  // large to be a SysInfoExtended is not read whole.
  stdfs::remove(root_ / kExtended);
  ASSERT_EQ(::mkfifo((root_ / kExtended).c_str(), 0600), 0);
  EXPECT_EQ(Read().refusal.code(), Status::Code::kCorrupt);
  stdfs::remove(root_ / kExtended);
  WriteExtended(std::string((1 << 20) + 1, ' '));
  EXPECT_EQ(Read().refusal.code(), Status::Code::kCorrupt);
}

TEST_F(DeviceInfoTest, VideoAndPlainFoldersKeepTheirBytes) {
  WriteSysInfo("ModelNumStr: xA147\nFirewireGuid: 0x000A27001234ABCD\n");
  EXPECT_EQ(Summary(), "iPod video 5G|none, SysInfo|000A27001234ABCD, SysInfo|ok");
  stdfs::remove_all(root_ / "iPod_Control");
  EXPECT_EQ(Summary(), "|none, none|, none|ok");
  // Even a damaged image passes through untouched when no checksum is needed.
  std::string junk = "junk";
  EXPECT_TRUE(SignForDevice(Read(), &junk).ok());
  EXPECT_EQ(junk, "junk");
}

TEST_F(DeviceInfoTest, TheDatabaseOnTheDeviceDecidesLast) {
  // A database marked hash58, and no GUID anywhere: refused.
  WriteFile(root_ / "iPod_Control/iTunes/iTunesDB", MakeDatabase(500, 1));
  EXPECT_EQ(Summary(), "|hash58, existing database|, none|refused");
  // A known model wins over the database's field.
  WriteSysInfo("ModelNumStr: M9724\n");
  EXPECT_EQ(Summary(), "iPod shuffle 1G|none, SysInfo|, none|ok");
  // An iPod that nothing identifies is never taken to need nothing.
  stdfs::remove(root_ / "iPod_Control/iTunes/iTunesDB");
  WriteSysInfo("ModelNumStr: xZ999\n");
  EXPECT_EQ(Summary(), "|unknown, none|, none|refused");
  EXPECT_THAT(Read().refusal.message(), HasSubstr("cannot tell"));
}

TEST_F(DeviceInfoTest, UsbProductIdAndSerialFromSysfs) {
  PlugIn("05ac", "1261", "000A270015603CB2");
  EXPECT_EQ(Summary(), "iPod classic|hash58, USB device|000A270015603CB2, USB device|ok");
  EXPECT_THAT(DescribeDevice(Read()),
              AllOf(HasSubstr("USB product id 1261"), HasSubstr("hash58 (from USB device)"),
                    HasSubstr("000A270015603CB2 (from USB device)")));
  // The root may be given with a trailing separator.
  EXPECT_EQ(ReadDeviceInfo(root_.string() + "/", options_).guid, "000A270015603CB2");

  // SysInfo's model and GUID come before the USB device's; a SysInfo without
  // a GUID line still gets the USB serial.
  WriteSysInfo("ModelNumStr: xB598\nFirewireGuid: 0x000A27001234ABCD\n");
  EXPECT_EQ(Summary(), "iPod nano 4G|hash58, SysInfo|000A27001234ABCD, SysInfo|ok");
  WriteSysInfo("ModelNumStr: xB598\n");
  EXPECT_EQ(Summary(), "iPod nano 4G|hash58, SysInfo|000A270015603CB2, USB device|ok");
  // Unknown products are not assumed safe.
  stdfs::remove(root_ / "iPod_Control/Device/SysInfo");
  PlugIn("05AC", "12ff", "");
  EXPECT_EQ(Summary(), "|unknown, none|, none|refused");
  EXPECT_THAT(Read().refusal.message(), HasSubstr("12ff"));
}

TEST_F(DeviceInfoTest, OtherUsbDisksAndOtherMountsAreNotIPods) {
  PlugIn("0781", "5567", "4C530001230");  // a USB stick from another vendor
  EXPECT_EQ(Summary(), "|none, none|, none|ok");
  // The block device is also found by its name when the device-number link
  // is missing; a mount point with a blank in it is unescaped.
  root_ = root_.parent_path() / "MY IPOD";
  stdfs::create_directories(root_);
  PlugIn("05ac", "1262", "000A27001BC8EED6", /*with_dev_link=*/false);
  EXPECT_EQ(Read().guid, "000A27001BC8EED6");
  // A folder on another mount than the iPod's is not the iPod.
  stdfs::create_directories(base_ / "elsewhere");
  EXPECT_EQ(ReadDeviceInfo((base_ / "elsewhere").string(), options_).usb_product_id, 0);
  // A missing mount table is no error.
  options_.mountinfo_path = (base_ / "missing").string();
  EXPECT_TRUE(Read().refusal.ok());
}

}  // namespace
}  // namespace cadenza
