#include "device/device_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using ::testing::AllOf;
using ::testing::HasSubstr;

constexpr char kUsbDevice[] = "devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr char kPartition[] = "1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";
constexpr char kSysInfo[] = "iPod_Control/Device/SysInfo";
constexpr char kExtended[] = "iPod_Control/Device/SysInfoExtended";
constexpr char kRootMount[] = "25 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n";

std::string Plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
         "\t<key>SerialNumber</key>\n\t<string>8K7410S0Y5N</string>\n" +
         body + "</dict>\n</plist>\n";
}

// A database image with every length final: header 0xF4, total length set,
// the checksum scheme at 0x30.
std::string MakeDatabase(size_t size, uint8_t scheme) {
  std::string s(size, '\0');
  for (size_t i = 0xF4; i < size; ++i) s[i] = static_cast<char>(i * 13);
  s.replace(0, 4, "mhbd");
  s[4] = static_cast<char>(0xF4);
  for (int i = 0; i < 4; ++i) s[8 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
  s[0x30] = static_cast<char>(scheme);
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
    stdfs::create_directories(base_ / "media/IPOD");
    stdfs::create_directories(base_ / "sys");
    root_ = stdfs::canonical(base_ / "media/IPOD");
    options_.sysfs_root = (base_ / "sys").string();
    options_.mountinfo_path = (base_ / "mountinfo").string();
    WriteBytes(base_ / "mountinfo", kRootMount);  // the folder lies on an internal disk
  }
  void TearDown() override { stdfs::remove_all(base_); }

  // A fake sysfs in which the volume at root_ (block device 8:17, /dev/sdb1)
  // belongs to the USB device 1-2, and a mount table that says so.
  void PlugIn(const std::string& vendor, const std::string& product, const std::string& serial,
              bool with_dev_link = true) {
    stdfs::remove_all(base_ / "sys");
    const stdfs::path sys = base_ / "sys", usb = sys / kUsbDevice;
    WriteBytes(usb.parent_path() / "idVendor", "1d6b\n");  // the root hub
    WriteBytes(usb / "idVendor", vendor + "\n");
    WriteBytes(usb / "idProduct", product + "\n");
    if (!serial.empty()) WriteBytes(usb / "serial", serial + "\n");
    WriteBytes(usb / kPartition / "dev", "8:17\n");
    const std::string target = std::string("../../") + kUsbDevice + "/" + kPartition;
    if (with_dev_link) {
      stdfs::create_directories(sys / "dev/block");
      stdfs::create_directory_symlink(target, sys / "dev/block/8:17");
    }
    stdfs::create_directories(sys / "class/block");
    stdfs::create_directory_symlink(target, sys / "class/block/sdb1");
    std::string escaped;
    for (char c : root_.string()) escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
    WriteBytes(base_ / "mountinfo", std::string(kRootMount) + "36 25 8:17 / " + escaped +
                                        " rw,nosuid shared:150 - vfat /dev/sdb1 rw,uid=1000\n");
  }

  DeviceInfo Read() { return ReadDeviceInfo(root_.string(), options_); }
  // The device as one line: name | scheme, from | GUID, from | ok or refused.
  std::string Summary() {
    DeviceInfo i = Read();
    return i.DeviceName() + "|" + SchemeName(i.scheme) + ", " + SourceName(i.scheme_source) + "|" +
           i.guid + ", " + SourceName(i.guid_source) + "|" + (i.refusal.ok() ? "ok" : "refused");
  }

  stdfs::path base_, root_;
  DeviceProbeOptions options_;
};

TEST_F(DeviceInfoTest, DeviceFilesDecideTheModelTheSchemeAndTheGuid) {
  const std::string guid_line = "FirewireGuid: 0x000A2700113EF298\n";
  const std::string too_long = Plist("<key>FireWireGUID</key><string>000A27001234ABCD00</string>");
  struct Case {
    std::string sysinfo, extended;
    bool database;              // an iTunesDB marked hash58
    std::string summary, says;  // `says`: in the refusal or the notes
  };
  const Case cases[] = {
      {"BoardHwName: iPod Q98\r\nModelNumStr: xB029\r\n" + guid_line, "", false,
       "iPod classic 6G|hash58, SysInfo|000A2700113EF298, SysInfo|ok", ""},
      // SysInfoExtended wins both the model's scheme and the GUID.
      {"ModelNumStr: xA147\n" + guid_line,
       Plist("\t<key>FireWireGUID</key>\n\t<string>000a2700ffff8040</string>\n"
             "\t<key>DBVersion</key>\n\t<integer>3</integer>\n"),
       false, "iPod video 5G|hash58, SysInfoExtended|000A2700FFFF8040, SysInfoExtended|ok", ""},
      // A GUID too long or too short is skipped, never cut.
      {"ModelNumStr: MB565LL/A\nFirewireGuid: 0x000A27001234ABCD\n", too_long, false,
       "iPod classic 6.5G|hash58, SysInfo|000A27001234ABCD, SysInfo|ok", "000A27001234ABCD00"},
      {"ModelNumStr: MB565LL/A\nFirewireGuid: 0x000A27001234ABC\n", too_long, false,
       "iPod classic 6.5G|hash58, SysInfo|, none|refused", "FirewireGuid: 0x000A27XXXXXXXXXX"},
      // A scheme that cannot be produced, even with a GUID at hand.
      {"ModelNumStr: MC062LL/A\n" + guid_line, "", false,
       "iPod nano 5G|hash72, SysInfo|000A2700113EF298, SysInfo|refused", "(hash72)"},
      {"", "", false, "|none, none|, none|ok", ""},
      // The database decides last: its mark without a GUID is refused; a
      // known model wins over it; an unknown iPod never needs nothing.
      {"", "", true, "|hash58, existing database|, none|refused", ""},
      {"ModelNumStr: M9724\n", "", true, "iPod shuffle 1G|none, SysInfo|, none|ok", ""},
      {"ModelNumStr: xZ999\n", "", false, "|unknown, none|, none|refused", "cannot tell"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.summary);
    stdfs::remove_all(root_ / "iPod_Control");
    if (!k.sysinfo.empty()) WriteBytes(root_ / kSysInfo, k.sysinfo);
    if (!k.extended.empty()) WriteBytes(root_ / kExtended, k.extended);
    if (k.database) WriteBytes(root_ / "iPod_Control/iTunes/iTunesDB", MakeDatabase(500, 1));
    EXPECT_EQ(Summary(), k.summary);
    const DeviceInfo info = Read();
    std::string said = info.refusal.message();
    for (const std::string& n : info.notes) said += "\n" + n;
    EXPECT_THAT(said, HasSubstr(k.says));
    if (!info.refusal.ok()) ExpectSignRefused(info);
  }
  // DBVersion alone decides every scheme.
  const std::pair<const char*, const char*> versions[] = {
      {"0", "none|ok"},        {"2", "none|ok"},        {"3", "hash58|ok"},
      {"4", "hash72|refused"}, {"5", "hashAB|refused"}, {"6", "unknown|refused"}};
  stdfs::remove_all(root_ / "iPod_Control");
  for (const auto& [version, want] : versions) {
    WriteBytes(root_ / kExtended, Plist("<key>FireWireGUID</key><string>000A2700113EF298</string>"
                                        "<key>DBVersion</key><integer>" +
                                        std::string(version) + "</integer>"));
    const DeviceInfo info = Read();
    EXPECT_EQ(std::string(SchemeName(info.scheme)) + (info.refusal.ok() ? "|ok" : "|refused"), want)
        << version;
  }
}

TEST_F(DeviceInfoTest, SigningNeverMakesUpAGuid) {
  // (Signing itself: hash58_test's vectors and interop_test's libgpod
  // databases.)
  // A hand-built record with a short GUID is refused; a device that needs no
  // checksum passes even a damaged image through untouched.
  DeviceInfo forged;
  forged.scheme = ChecksumScheme::kHash58;
  forged.guid = "000A2700";
  ExpectSignRefused(forged);
  std::string junk = "junk";
  EXPECT_TRUE(SignForDevice(DeviceInfo{}, &junk).ok());
  EXPECT_EQ(junk, "junk");
}

TEST_F(DeviceInfoTest, DamagedSysInfoExtendedIsAClearError) {
  // SysInfo alone would allow the write; the damaged file stops it.
  WriteBytes(root_ / kSysInfo, "ModelNumStr: xA147\nFirewireGuid: 0x000A27001234ABCD\n");
  const std::string good = Plist("<key>DBVersion</key><integer>3</integer>");
  for (const std::string& damaged :
       {std::string(), good.substr(0, good.size() / 2),
        std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"),
        Plist("<key>DBVersion</key><string>three</string>"), std::string((1 << 20) + 1, ' ')}) {
    SCOPED_TRACE(damaged.substr(0, 40));
    WriteBytes(root_ / kExtended, damaged);
    const DeviceInfo info = Read();
    EXPECT_EQ(info.refusal.code(), Status::Code::kCorrupt);
    EXPECT_THAT(info.refusal.message(), HasSubstr("SysInfoExtended"));
    EXPECT_EQ(info.DeviceName(), "iPod video 5G") << "the rest is still reported";
    ExpectSignRefused(info);
  }
  // A FIFO nobody writes to is reported without waiting for it.
  stdfs::remove(root_ / kExtended);
  ASSERT_EQ(::mkfifo((root_ / kExtended).c_str(), 0600), 0);
  EXPECT_EQ(Read().refusal.code(), Status::Code::kCorrupt);
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
  WriteBytes(root_ / kSysInfo, "ModelNumStr: xB598\nFirewireGuid: 0x000A27001234ABCD\n");
  EXPECT_EQ(Summary(), "iPod nano 4G|hash58, SysInfo|000A27001234ABCD, SysInfo|ok");
  WriteBytes(root_ / kSysInfo, "ModelNumStr: xB598\n");
  EXPECT_EQ(Summary(), "iPod nano 4G|hash58, SysInfo|000A270015603CB2, USB device|ok");
  // Unknown products are not assumed safe; other vendors' disks are no iPods.
  stdfs::remove(root_ / kSysInfo);
  PlugIn("05AC", "12ff", "");
  EXPECT_EQ(Summary(), "|unknown, none|, none|refused");
  EXPECT_THAT(Read().refusal.message(), HasSubstr("12ff"));
  PlugIn("0781", "5567", "4C530001230");
  EXPECT_EQ(Summary(), "|none, none|, none|ok");

  // The block device is also found by its name when the device-number link
  // is missing; a mount point with a blank in it is unescaped.
  root_ = root_.parent_path() / "MY IPOD";
  stdfs::create_directories(root_);
  PlugIn("05ac", "1262", "000A27001BC8EED6", /*with_dev_link=*/false);
  EXPECT_EQ(Read().guid, "000A27001BC8EED6");
  // A folder on another mount than the iPod's is not the iPod; a missing
  // mount table is no error.
  stdfs::create_directories(base_ / "elsewhere");
  EXPECT_EQ(ReadDeviceInfo((base_ / "elsewhere").string(), options_).usb_product_id, 0);
  options_.mountinfo_path = (base_ / "missing").string();
  EXPECT_TRUE(Read().refusal.ok());
}

}  // namespace
}  // namespace cadenza
