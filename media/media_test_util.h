// Helpers of the media reader tests: a scratch folder, byte packing and the
// fixtures made by testdata/make_audio_fixtures.sh.
#ifndef CADENZA_MEDIA_MEDIA_TEST_UTIL_H_
#define CADENZA_MEDIA_MEDIA_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace cadenza::testutil {

inline std::string BE32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
inline std::string LE32(uint32_t v) {
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
inline std::string LE16(uint16_t v) { return {char(v), char(v >> 8)}; }
inline std::string SyncSafe(uint32_t v) {
  return {char((v >> 21) & 0x7F), char((v >> 14) & 0x7F), char((v >> 7) & 0x7F),
          char(v & 0x7F)};
}
inline const uint8_t* U8(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

// A scratch folder per test, removed afterwards.
class MediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("cadenza_media_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  std::filesystem::path dir_;
};

inline std::string Fixture(const std::string& name) {
  return std::string(CADENZA_SOURCE_DIR) + "/media/testdata/" + name;
}

// What ffprobe said about each fixture: codec, sample rate, channels, bit
// rate, duration (seconds), keyed by file name.
struct ProbeResult {
  std::string codec;
  int sample_rate = 0, channels = 0, bit_rate = 0;
  double duration = 0;
};
inline std::map<std::string, ProbeResult> ProbeResults() {
  std::map<std::string, ProbeResult> out;
  std::ifstream in(Fixture("fixtures.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string item; std::getline(ss, item, ',');) f.push_back(item);
    if (f.size() < 6) continue;
    out[f[0]] = {f[1], std::stoi(f[2]), std::stoi(f[3]),
                 f[4] == "N/A" ? 0 : std::stoi(f[4]), std::stod(f[5])};
  }
  return out;
}

}  // namespace cadenza::testutil

#endif  // CADENZA_MEDIA_MEDIA_TEST_UTIL_H_
