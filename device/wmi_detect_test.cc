#include "device/wmi_detect.h"

#include <gtest/gtest.h>

#include "device/detect.h"

namespace cadenza {
namespace {

// Rows as Windows reports them: the system disk and iPods by disk number.
WmiRow SystemDisk() {
  return {{"Caption", "ST500DM002-1BD142"}, {"Name", R"(\\.\PHYSICALDRIVE0)"}};
}
WmiRow iPodDisk(const std::string& n, const std::string& serial = "000A27001A2B3C4D") {
  return {{"Caption", "Apple iPod USB Device"},
          {"Model", "Apple iPod USB Device"},
          {"Name", R"(\\.\PHYSICALDRIVE)" + n},
          {"PNPDeviceID", R"(USBSTOR\DISK&VEN_APPLE&PROD_IPOD&REV_1.62\)" + serial + "&0"}};
}
WmiRow Link(const std::string& disk, const std::string& letter) {
  return {{"Antecedent",
           R"(\\PC\root\cimv2:Win32_DiskPartition.DeviceID="Disk #)" + disk + R"(, Partition #0")"},
          {"Dependent", R"(\\PC\root\cimv2:Win32_LogicalDisk.DeviceID=")" + letter + R"(:")"}};
}
// As Wine 8 reports them: no Caption and no Name on its disks, DeviceId in
// the object paths.
WmiRow WineDisk() {
  return {{"DeviceID", R"(\\\\.\\PHYSICALDRIVE0)"},
          {"Index", "0"},
          {"Model", "Wine Disk Drive"},
          {"PNPDeviceID", R"(IDE\Disk\VEN_WINE)"}};
}
WmiRow WineLink(const std::string& disk, const std::string& letter) {
  return {{"Antecedent",
           R"(\\VM\ROOT\CIMV2:Win32_DiskPartition.DeviceId="Disk #)" + disk + R"(, Partition #0")"},
          {"Dependent", R"(\\VM\ROOT\CIMV2:Win32_LogicalDisk.DeviceId=")" + letter + R"(:")"}};
}
// Doubled backslashes, escaped quotes, property names in another case.
WmiRow EscapedLink(const std::string& disk, const std::string& letter) {
  return {
      {"antecedent", R"(\\\\PC\\root\\cimv2:Win32_DiskPartition.DeviceID=\"Disk #)" + disk +
                         R"(, Partition #0\")"},
      {"DEPENDENT", R"(\\\\PC\\root\\cimv2:Win32_LogicalDisk.DeviceID=\")" + letter + R"(:\")"}};
}

// The drive taken and the question asked, as the search concludes them
// from the match (`itunes`: the drive taken has its iTunes folder).
TEST(WmiDetect, MatchesTheiPodDiskToItsDriveLetterAndAsks) {
  const std::string device = "can't find your iPod device.", none;
  struct Case {
    const char* what;
    std::vector<WmiRow> disks, links;
    bool itunes;
    std::string drive, question;  // a piece of the question's text; empty for none
  } cases[] = {
      {"one iPod",
       {SystemDisk(), iPodDisk("1")},
       {Link("0", "C"), Link("1", "E")},
       true,
       "E:\\",
       none},
      {"two iPods: the last wins",
       {iPodDisk("1"), SystemDisk(), iPodDisk("2")},
       {Link("2", "F"), Link("0", "C"), Link("1", "E")},
       true,
       "F:\\",
       none},
      {"no iTunes folder",
       {iPodDisk("1")},
       {Link("1", "E")},
       false,
       "E:\\",
       "detected as E:\\, but this drive does not contain iTunes Folder."},
      {"no iPod", {SystemDisk()}, {Link("0", "C")}, true, "", device},
      {"iPod without a letter",
       {SystemDisk(), iPodDisk("1")},
       {Link("0", "C"), Link("10", "E"), Link("1", "")},
       true,
       "",
       "can't find your iPod drive."},
      {"disk 12 is not disk 2",
       {iPodDisk("12")},
       {Link("2", "G"), Link("12", "I"), Link("21", "H")},
       true,
       "I:\\",
       none},
      {"disk 2 is neither 12 nor 21",
       {iPodDisk("2")},
       {Link("12", "I"), Link("21", "H"), Link("02", "G")},
       true,
       "G:\\",
       none},
      {"Wine's disks are no iPod",
       {WineDisk()},
       {WineLink("0", "C"), WineLink("1", "Z")},
       true,
       "",
       device},
      {"Wine's spelling of a link",
       {iPodDisk("1")},
       {WineLink("0", "C"), WineLink("1", "Z")},
       true,
       "Z:\\",
       none},
      {"escaped object paths", {iPodDisk("3")}, {EscapedLink("3", "D")}, true, "D:\\", none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const WmiDriveMatch m = MatchiPodDrive(c.disks, c.links);
    const std::string drive = m.drives.empty() ? "" : m.drives.back();
    const DriveSearch found = ConcludeDriveSearch(drive, m.device_seen, c.itunes, "MyApp");
    EXPECT_EQ(found.drive, c.drive);
    const std::string asked = found.question ? found.question->text : "";
    EXPECT_EQ(asked.empty(), c.question.empty()) << asked;
    EXPECT_NE(asked.find(c.question), std::string::npos) << asked;
  }
}

TEST(WmiDetect, TheGuidIsTheSerialOfTheiPodDisk) {
  const WmiDriveMatch m =
      MatchiPodDrive({iPodDisk("1", "000a27001a2b3c4d"), iPodDisk("2", "000A2700FFFF0000")},
                     {Link("1", "E"), Link("1", "F")});
  EXPECT_EQ(m.drives, (std::vector<std::string>{"E:\\", "F:\\"}));
  EXPECT_EQ(FireWireGuidFromPnpId(m.pnp_device_ids.back()), "000A27001A2B3C4D")
      << "the disk with the letter";
  for (const char* bad :
       {R"(USBSTOR\DISK&VEN_APPLE&PROD_IPOD&REV_1.62\7&2A3B4C5D&0&1)",
        R"(USBSTOR\DISK&VEN_APPLE&PROD_IPOD&REV_1.62\000A27001A2B3C4&0)",
        R"(USBSTOR\DISK&VEN_APPLE&PROD_IPOD&REV_1.62\0x000A27001A2B3C4D&0)",
        R"(USBSTOR\DISK&VEN_APPLE&PROD_IPOD&REV_1.62\000A27001A2B3C4G&0)", "", "000A27001A2B3C4D"})
    EXPECT_EQ(FireWireGuidFromPnpId(bad), "") << bad;
}

}  // namespace
}  // namespace cadenza
