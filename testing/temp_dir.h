// A fresh, empty folder for the running test, named after the test so that
// tests running side by side never share one.
#ifndef CADENZA_TESTING_TEMP_DIR_H_
#define CADENZA_TESTING_TEMP_DIR_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace cadenza

#endif  // CADENZA_TESTING_TEMP_DIR_H_
