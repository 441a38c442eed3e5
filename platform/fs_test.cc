#include "platform/fs.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = FreshTestDir("cadenza_fs");
  }
  void TearDown() override {
    fs::SetWriteLimitForTesting(-1);
    stdfs::remove_all(root_);
  }
  void Write(const stdfs::path& p, const std::string& s) {
    stdfs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << s;
  }
  std::string Read(const stdfs::path& p) {
    std::string s;
    EXPECT_TRUE(fs::ReadWholeFile(p.string(), &s).ok());
    return s;
  }
  stdfs::path root_;
};

TEST_F(FsTest, DevicePathsResolveWithoutRegardToCase) {
  Write(root_ / "iPod_Control/iTunes/iTunesDB", "x");
  std::string p = fs::DevicePath(root_.string(), "iPod_Control\\iTunes\\itunesDB");
  EXPECT_EQ(p, (root_ / "iPod_Control/iTunes/iTunesDB").string());
  // Missing components keep the given spelling.
  EXPECT_EQ(fs::DevicePath(root_.string() + "/", "IPOD_CONTROL\\Music\\A00"),
            (root_ / "iPod_Control/Music/A00").string());
  EXPECT_EQ(fs::DevicePath("", "iPod_Control"), "");
}

TEST_F(FsTest, AtomicWriteReplacesTheFileOrLeavesItAlone) {
  auto f = root_ / "db";
  Write(f, "old contents");
  ASSERT_TRUE(fs::WriteFileAtomic(f.string(), "new").ok());
  EXPECT_EQ(Read(f), "new");

  fs::SetWriteLimitForTesting(2);  // the disk fills after two bytes
  EXPECT_FALSE(fs::WriteFileAtomic(f.string(), "newer contents").ok());
  fs::SetWriteLimitForTesting(-1);
  EXPECT_EQ(Read(f), "new");
  EXPECT_EQ(std::distance(stdfs::directory_iterator(root_), stdfs::directory_iterator()), 1);
}

TEST_F(FsTest, CancelledCopyRemovesThePartialTarget) {
  Write(root_ / "src", std::string(300000, 'a'));
  int calls = 0;
  Status s = fs::CopyFileInPieces((root_ / "src").string(), (root_ / "dst").string(),
                                  [&](uint64_t, uint64_t) { return ++calls < 2; }, 65536);
  EXPECT_EQ(s.code(), Status::Code::kCancelled);
  EXPECT_FALSE(stdfs::exists(root_ / "dst"));
  ASSERT_TRUE(fs::CopyFileInPieces((root_ / "src").string(), (root_ / "dst").string(),
                                   nullptr, 65536).ok());
  EXPECT_EQ(stdfs::file_size(root_ / "dst"), 300000u);
}

TEST_F(FsTest, ListingIsSorted) {
  Write(root_ / "b/x", "123");
  Write(root_ / "a", "12345");
  Write(root_ / "b/c/y", "1");
  auto l = fs::ListDir(root_.string());
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].name, "a");
  EXPECT_FALSE(l[0].is_dir);
  EXPECT_TRUE(l[1].is_dir);
  EXPECT_TRUE(fs::ListDir((root_ / "nope").string()).empty());
}

TEST_F(FsTest, DeleteWithoutForceRefusesReadOnlyFiles) {
  auto f = root_ / "ro";
  Write(f, "x");
  ::chmod(f.c_str(), 0444);
  EXPECT_FALSE(fs::DeleteFile(f.string(), false).ok());
  EXPECT_TRUE(fs::DeleteFile(f.string(), true).ok());
  EXPECT_FALSE(fs::FileExists(f.string()));
}

}  // namespace
}  // namespace cadenza
