#include "device/detect.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "testing/scripted_host.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

const char kNotFoundDevice[] =
    "MyApp can't find your iPod device. Do you want to locate it?\r\n"
    "Note:- 'Enable Disk Use' option in the iTunes may be unchecked or the iPod is not connected";
const char kNotFoundDrive[] =
    "MyApp can't find your iPod drive. Do you want to locate it?\r\n"
    "Note:- 'Enable Disk Use' option in the iTunes may be unchecked.";

// A fake machine: a sysfs tree, a mount table and real mount-point folders,
// all inside one temporary folder.
class FakeMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cadenza_detect_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    opts_.sysfs_root = root_ + "/sys";
    opts_.mountinfo_path = root_ + "/mountinfo";
    stdfs::create_directories(opts_.sysfs_root + "/block");
    Write(opts_.mountinfo_path, "22 27 0:21 / /proc rw,relatime - proc proc rw\n");
  }
  void TearDown() override { stdfs::remove_all(root_); }

  static void Write(const std::string& p, const std::string& s) { std::ofstream(p) << s; }
  void AddDisk(const std::string& name, const std::string& vendor, const std::string& model,
               const std::string& devno, const std::vector<std::string>& parts = {}) {
    std::string d = opts_.sysfs_root + "/block/" + name;
    stdfs::create_directories(d + "/device");
    Write(d + "/device/vendor", vendor + "\n");
    Write(d + "/device/model", model + "\n");
    Write(d + "/dev", devno + "\n");
    for (size_t i = 0; i < parts.size(); ++i) {
      std::string p = d + "/" + name + std::to_string(i + 1);
      stdfs::create_directories(p);
      Write(p + "/dev", parts[i] + "\n");
      Write(p + "/partition", std::to_string(i + 1) + "\n");
    }
  }
  void AddiPod(const std::string& name, const std::string& devno, const std::string& part) {
    AddDisk(name, "Apple   ", "iPod            ", devno, {part});
  }
  // Creates the mount point below the temporary folder and lists it in the
  // mount table; returns its real path. `escaped` is how the table writes it.
  std::string Mount(const std::string& devno, const std::string& source,
                    const std::string& escaped, bool itunes, const std::string& fsroot = "/") {
    std::string mp = root_ + "/mnt/" + DecodeMountField(escaped);
    stdfs::create_directories(mp);
    if (itunes) stdfs::create_directories(mp + "/IPOD_CONTROL/iTunes");
    std::ofstream(opts_.mountinfo_path, std::ios::app)
        << ++id_ << " 1 " << devno << " " << fsroot << " " << root_ << "/mnt/" << escaped
        << " rw,relatime shared:7 - vfat " << source << " rw\n";
    return mp;
  }
  std::vector<std::string> Find(bool* seen) { return FindiPodMounts(opts_, seen); }

  std::string root_;
  DetectOptions opts_;
  ScriptedHost host_;
  int id_ = 100;
};

TEST(MountField, DecodesOctalEscapesAndKeepsBadOnes) {
  EXPECT_EQ(DecodeMountField("a\\011b\\012c\\134d\\040e"), "a\tb\nc\\d e");
  // Cut short, above one byte, not octal: kept as written.
  for (const char* bad : {"end\\04", "x\\400y", "x\\08y\\"}) EXPECT_EQ(DecodeMountField(bad), bad);
}

TEST(DiskIdentity, AppleAndiPodWithoutRegardToCase) {
  EXPECT_TRUE(IsiPodDisk("Apple   ", "iPod            "));
  EXPECT_TRUE(IsiPodDisk("APPLE", "IPOD mini"));
  EXPECT_FALSE(IsiPodDisk("Apple", "SuperDrive") || IsiPodDisk("Generic", "iPod"));
}

TEST_F(FakeMachine, FindsMountsOfiPodDisksOnlyOrderedByDiskName) {
  AddDisk("sda", "ATA     ", "Samsung SSD", "8:0", {"8:1"});
  Mount("8:1", "/dev/sda1", "system", false);
  AddiPod("sdc", "8:32", "8:33");
  AddiPod("sdb", "8:16", "8:17");
  std::string c = Mount("8:33", "/dev/sdc1", "second", true);
  std::string b = Mount("8:17", "/dev/sdb1", "first", true);
  bool seen = false;
  EXPECT_EQ(Find(&seen), (std::vector<std::string>{b, c}));
  EXPECT_TRUE(seen);
  EXPECT_EQ(GetiPodDriveString(host_, opts_, "MyApp"), c + "/") << "the last one wins";
}

TEST_F(FakeMachine, MatchesBySourceWholeDiskAndSkipsHiddenOrBoundFolders) {
  AddDisk("sdb", "Apple", "iPod", "8:16", {"8:17", "8:18"});
  // Whole-disk file system; a number that differs from the disk's (as
  // btrfs reports) is matched by the source instead.
  std::string whole = Mount("0:45", "/dev/sdb", "whole", false);
  std::string p2 = Mount("8:18", "/dev/other", "p2", false);
  Mount("8:18", "/dev/sdb2", "music", false, "/Music");  // bind mount of a folder
  Mount("8:17", "/dev/sdb1", "covered", false);
  Mount("0:50", "tmpfs", "covered", false);  // mounted over it
  std::ofstream(opts_.mountinfo_path, std::ios::app) << "garbage line\n1 2 8:17 / /x rw\n\n";
  EXPECT_EQ(Find(nullptr), (std::vector<std::string>{whole, p2}));
}

TEST_F(FakeMachine, NothingToFind) {
  bool seen = true;
  stdfs::remove_all(opts_.sysfs_root);
  EXPECT_TRUE(Find(&seen).empty());
  EXPECT_FALSE(seen);
  // A seen disk that is not mounted, or with an unreadable mount table.
  AddiPod("sdb", "8:16", "8:17");
  EXPECT_EQ(GetiPodDriveString(host_, opts_, "MyApp"), "");
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text, kNotFoundDrive);
  opts_.mountinfo_path = root_ + "/missing";
  EXPECT_TRUE(Find(&seen).empty());
  EXPECT_TRUE(seen);
}

// One iPod mounted on a folder whose name has a space (\040 in the table).
TEST_F(FakeMachine, OneiPodConfirmedOnlyWhenAsked) {
  AddiPod("sdb", "8:16", "8:17");
  std::string drive = Mount("8:17", "/dev/sdb1", "My\\040iPod", true) + "/";
  EXPECT_EQ(drive, root_ + "/mnt/My iPod/");
  EXPECT_EQ(GetiPodDriveString(host_, opts_, "MyApp"), drive);
  EXPECT_TRUE(host_.boxes.empty() && host_.browse_titles.empty());
  EXPECT_EQ(GetiPodDriveString(host_, opts_, "MyApp", true), drive);
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text + "|" + host_.boxes[0].title + "|" +
                std::to_string(host_.boxes[0].style),
            "iPod Drive is detect as " + drive +
                ", If this is incorrect, so please Manually specify the iPod Drive|MyApp|64");
}

// No iPod at all, then one without an iTunes folder: the user is asked, may
// browse for the drive, and a drive that stands is confirmed.
TEST_F(FakeMachine, AsksWhenNoDriveOrNoiTunesFolderIsFound) {
  struct Case {
    int answer;
    std::vector<std::string> folders;
    std::string want;
    std::vector<std::string> browsed;
  };
  auto run = [&](const std::string& question, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(question.substr(0, 30) + " -> " + c.want);
      ScriptedHost h;
      h.answers = {c.answer};
      h.folders.assign(c.folders.begin(), c.folders.end());
      EXPECT_EQ(GetiPodDriveString(h, opts_, "MyApp", true), c.want);
      ASSERT_EQ(h.boxes.size(), c.want.empty() ? 1u : 2u) << "a confirmation only for a drive";
      // Titled "Cadenza", not with the caller's title.
      EXPECT_EQ(h.boxes[0].text + "|" + std::to_string(h.boxes[0].style) + "|" + h.boxes[0].title,
                question + "|36|Cadenza");
      if (!c.want.empty()) {
        EXPECT_EQ(h.boxes[1].text.find("iPod Drive is detect as " + c.want), 0u);
      }
      EXPECT_EQ(h.browse_titles, c.browsed);
    }
  };
  const std::vector<std::string> locate = {"Please, select the iPod Drive"};
  run(kNotFoundDevice, {{kAnswerYes, {"/srv/pod/"}, "/srv/pod/", locate},
                        {kAnswerYes, {}, "", locate},
                        {kAnswerNo, {}, "", {}}});
  AddiPod("sdb", "8:16", "8:17");
  std::string drive = Mount("8:17", "/dev/sdb1", "bare", false) + "/";
  const std::vector<std::string> select = {"Please, Select the iPod Drive"};
  run("iPod drive was detected as " + drive +
          ", but this drive does not contain iTunes Folder.\rIs the detection correct?",
      {{kAnswerYes, {}, drive, {}},
       {kAnswerNo, {"/media/chosen"}, "/media/chosen/", select},  // gets its trailing "/"
       {kAnswerNo, {}, "", select}});
}

}  // namespace
}  // namespace cadenza
