#include "device/detect.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

TEST(MountField, DecodesOctalEscapesAndKeepsBadOnes) {
  EXPECT_EQ(DecodeMountField("a\\011b\\012c\\134d\\040e"), "a\tb\nc\\d e");
  // Cut short, above one byte, not octal: kept as written.
  for (const char* bad : {"end\\04", "x\\400y", "x\\08y\\"}) EXPECT_EQ(DecodeMountField(bad), bad);
  EXPECT_TRUE(IsiPodDisk("Apple   ", "iPod            ") && IsiPodDisk("APPLE", "IPOD mini"));
  EXPECT_FALSE(IsiPodDisk("Apple", "SuperDrive") || IsiPodDisk("Generic", "iPod"));
}

// A fake machine: a sysfs tree, a mount table and real mount-point folders,
// all inside one temporary folder.
class FakeMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = FreshTestDir("cadenza_detect").string();
    opts_.sysfs_root = root_ + "/sys";
    opts_.mountinfo_path = root_ + "/mountinfo";
    stdfs::create_directories(opts_.sysfs_root + "/block");
    WriteBytes(opts_.mountinfo_path, "22 27 0:21 / /proc rw,relatime - proc proc rw\n");
  }
  void TearDown() override { stdfs::remove_all(root_); }

  // A disk with partitions numbered from 1, given by device number.
  void AddDisk(const std::string& name, const std::string& devno,
               const std::vector<std::string>& parts, const std::string& vendor = "Apple   ",
               const std::string& model = "iPod            ") {
    const std::string d = opts_.sysfs_root + "/block/" + name;
    WriteBytes(d + "/device/vendor", vendor + "\n");
    WriteBytes(d + "/device/model", model + "\n");
    WriteBytes(d + "/dev", devno + "\n");
    for (size_t i = 0; i < parts.size(); ++i) {
      const std::string p = d + "/" + name + std::to_string(i + 1);
      WriteBytes(p + "/dev", parts[i] + "\n");
      WriteBytes(p + "/partition", std::to_string(i + 1) + "\n");
    }
  }
  // Creates the mount point below the temporary folder and lists it in the
  // mount table; returns its real path. `escaped` is how the table writes it.
  std::string Mount(const std::string& devno, const std::string& source, const std::string& escaped,
                    bool itunes, const std::string& fsroot = "/") {
    const std::string mp = root_ + "/mnt/" + DecodeMountField(escaped);
    stdfs::create_directories(itunes ? mp + "/IPOD_CONTROL/iTunes" : mp);
    std::ofstream(opts_.mountinfo_path, std::ios::app)
        << ++id_ << " 1 " << devno << " " << fsroot << " " << root_ << "/mnt/" << escaped
        << " rw,relatime shared:7 - vfat " << source << " rw\n";
    return mp;
  }
  std::vector<std::string> Find(bool* seen) { return FindiPodMounts(opts_, seen); }
  // The drive found, then the question asked: its text, whether Yes
  // browses, and the browser's title.
  std::string Search() {
    const DriveSearch found = SearchiPodDrive(opts_, "MyApp");
    if (!found.question) return found.drive + "|none";
    const DriveQuestion& q = *found.question;
    return found.drive + "|" + q.text + "|" + (q.browse_on_yes ? "yes" : "no") + "|" +
           q.browse_title;
  }

  std::string root_;
  DetectOptions opts_;
  int id_ = 100;
};

TEST_F(FakeMachine, FindsMountsOfiPodDisksOnlyOrderedByDiskName) {
  bool seen = true;
  DetectOptions no_sysfs = opts_;
  no_sysfs.sysfs_root = root_ + "/missing";
  EXPECT_TRUE(FindiPodMounts(no_sysfs, &seen).empty());
  EXPECT_FALSE(seen);
  AddDisk("sda", "8:0", {"8:1"}, "ATA     ", "Samsung SSD");
  Mount("8:1", "/dev/sda1", "system", false);
  AddDisk("sdc", "8:32", {"8:33"});
  AddDisk("sdb", "8:16", {"8:17"});
  std::string c = Mount("8:33", "/dev/sdc1", "second", true);
  std::string b = Mount("8:17", "/dev/sdb1", "first", true);
  EXPECT_EQ(Find(&seen), (std::vector<std::string>{b, c}));
  EXPECT_TRUE(seen);
  EXPECT_EQ(Search(), c + "/|none") << "the last one wins";
  // Disks seen, but no mount table to read.
  opts_.mountinfo_path = root_ + "/missing";
  EXPECT_TRUE(Find(&seen).empty());
  EXPECT_TRUE(seen);
}

TEST_F(FakeMachine, MatchesBySourceWholeDiskAndSkipsHiddenOrBoundFolders) {
  AddDisk("sdb", "8:16", {"8:17", "8:18"});
  // Whole-disk file system; a number that differs from the disk's (as btrfs
  // reports) is matched by the source instead.
  std::string whole = Mount("0:45", "/dev/sdb", "whole", false);
  std::string p2 = Mount("8:18", "/dev/other", "p2", false);
  Mount("8:18", "/dev/sdb2", "music", false, "/Music");  // bind mount of a folder
  Mount("8:17", "/dev/sdb1", "covered", false);
  Mount("0:50", "tmpfs", "covered", false);  // mounted over it
  std::ofstream(opts_.mountinfo_path, std::ios::app) << "garbage line\n1 2 8:17 / /x rw\n\n";
  EXPECT_EQ(Find(nullptr), (std::vector<std::string>{whole, p2}));
}

// No iPod, an iPod not mounted, one without an iTunes folder, one with it on
// a folder whose name has a blank (\040 in the table).
TEST_F(FakeMachine, QuestionsUnlessOneDriveWithItsiTunesFolderIsFound) {
  const std::string browse = "|yes|Please, select the iPod Drive";
  EXPECT_EQ(Search(),
            "|MyApp can't find your iPod device. Do you want to locate it?\r\n"
            "Note:- 'Enable Disk Use' option in the iTunes may be unchecked or the "
            "iPod is not connected" +
                browse);
  AddDisk("sdb", "8:16", {"8:17"});
  EXPECT_EQ(Search(),
            "|MyApp can't find your iPod drive. Do you want to locate it?\r\n"
            "Note:- 'Enable Disk Use' option in the iTunes may be unchecked." +
                browse);
  std::string drive = Mount("8:17", "/dev/sdb1", "bare", false) + "/";
  EXPECT_EQ(Search(), drive + "|iPod drive was detected as " + drive +
                          ", but this drive does not contain iTunes Folder.\r"
                          "Is the detection correct?|no|Please, Select the iPod Drive");

  WriteBytes(opts_.mountinfo_path, "");
  drive = Mount("8:17", "/dev/sdb1", "My\\040iPod", true) + "/";
  EXPECT_EQ(drive, root_ + "/mnt/My iPod/");
  EXPECT_EQ(Search(), drive + "|none");
}

}  // namespace
}  // namespace cadenza
