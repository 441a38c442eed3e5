// Files for tests: a fresh, empty folder for the running test (named after
// the test, so that tests running side by side never share one), and whole
// files read and written as bytes.
#ifndef CADENZA_TESTING_TEMP_DIR_H_
#define CADENZA_TESTING_TEMP_DIR_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace cadenza {

inline std::filesystem::path FreshTestDir(const std::string& prefix) {
  auto dir = std::filesystem::temp_directory_path() /
             (prefix + "_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// The bytes of a file; empty when it cannot be read.
inline std::string ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Replaces a file with `bytes`, making its folders first.
inline void WriteBytes(const std::filesystem::path& p, const std::string& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace cadenza

#endif  // CADENZA_TESTING_TEMP_DIR_H_
