#include "platform/fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = FreshTestDir("cadenza_fs"); }
  void TearDown() override {
    fs::SetWriteLimitForTesting(-1);
    stdfs::remove_all(root_);
  }
  stdfs::path root_;
};

TEST_F(FsTest, DevicePathsResolveWithoutRegardToCase) {
  WriteBytes(root_ / "iPod_Control/iTunes/iTunesDB", "x");
  std::string p = fs::DevicePath(root_.string(), "iPod_Control\\iTunes\\itunesDB");
  EXPECT_EQ(p, (root_ / "iPod_Control/iTunes/iTunesDB").string());
  // Missing components keep the given spelling.
  EXPECT_EQ(fs::DevicePath(root_.string() + "/", "IPOD_CONTROL\\Music\\A00"),
            (root_ / "iPod_Control/Music/A00").string());
  EXPECT_EQ(fs::DevicePath("", "iPod_Control"), "");
}

TEST_F(FsTest, ListingIsSorted) {
  WriteBytes(root_ / "b/x", "123");
  WriteBytes(root_ / "a", "12345");
  WriteBytes(root_ / "b/c/y", "1");
  auto l = fs::ListDir(root_.string());
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].name, "a");
  EXPECT_FALSE(l[0].is_dir);
  EXPECT_TRUE(l[1].is_dir);
  EXPECT_TRUE(fs::ListDir((root_ / "nope").string()).empty());
}

TEST_F(FsTest, DeleteWithoutForceRefusesReadOnlyFiles) {
  auto f = root_ / "ro";
  WriteBytes(f, "x");
  ::chmod(f.c_str(), 0444);
  EXPECT_FALSE(fs::DeleteFile(f.string(), false).ok());
  EXPECT_TRUE(fs::DeleteFile(f.string(), true).ok());
  EXPECT_FALSE(fs::FileExists(f.string()));
}

// Track titles come from file names, so the split is pure UTF-8 text work
// that keeps every byte of the name.
TEST(FsNames, SplitPathsAsTextKeepingUtf8) {
  EXPECT_EQ(fs::FileName("/m/Москва трек.mp3"), "Москва трек.mp3");
  EXPECT_EQ(fs::FileStem("/m/Москва трек.mp3"), "Москва трек");
  EXPECT_EQ(fs::FileStem("/m/a.b.mp3"), "a.b");
  EXPECT_EQ(fs::FileStem("/m/.profile"), ".profile");
  EXPECT_EQ(fs::FileStem("plain"), "plain");
  EXPECT_EQ(fs::ParentFolder("/m/x.mp3"), "/m");
  EXPECT_EQ(fs::ParentFolder("/x.mp3"), "/");
  EXPECT_EQ(fs::ParentFolder("x.mp3"), "");
  EXPECT_TRUE(fs::IsAbsolutePath("/x"));
  EXPECT_FALSE(fs::IsAbsolutePath("x/y"));
}

// A cut-short write leaves the old file and no temporary behind; the
// leftovers of a killed writer are found and removed.
TEST_F(FsTest, AtomicWritesAndTheirLeftovers) {
  const std::string target = (root_ / "iTunesDB").string();
  ASSERT_TRUE(fs::WriteFileAtomic(target, "old").ok());
  fs::SetWriteLimitForTesting(2);
  EXPECT_EQ(fs::WriteFileAtomic(target, "new data").code(), Status::Code::kNoSpace);
  fs::SetWriteLimitForTesting(-1);
  std::string back;
  ASSERT_TRUE(fs::ReadWholeFile(target, &back).ok());
  EXPECT_EQ(back, "old");
  EXPECT_TRUE(fs::LeftoverTemps(target).empty());
  WriteBytes(root_ / ".itunesdb.cadenza-1-2.tmp", "x");
  ASSERT_EQ(fs::LeftoverTemps(target).size(), 1u);
  EXPECT_TRUE(fs::RemoveLeftoverTemps(target).ok());
  EXPECT_TRUE(fs::LeftoverTemps(target).empty());
}

}  // namespace
}  // namespace cadenza
