// Helpers of the media reader tests: a scratch folder, byte packing and the
// fixtures made by testdata/make_audio_fixtures.sh.
#ifndef CADENZA_MEDIA_MEDIA_TEST_UTIL_H_
#define CADENZA_MEDIA_MEDIA_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "testing/temp_dir.h"

namespace cadenza::testutil {

inline std::string BE32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
inline std::string LE32(uint32_t v) {
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
inline std::string LE16(uint16_t v) { return {char(v), char(v >> 8)}; }
inline std::string SyncSafe(uint32_t v) {
  return {char((v >> 21) & 0x7F), char((v >> 14) & 0x7F), char((v >> 7) & 0x7F), char(v & 0x7F)};
}
inline const uint8_t* U8(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}
// RIFF files, chunks and lists (a chunk of odd size is padded).
inline std::string Riff(const std::string& form, const std::string& body) {
  return "RIFF" + LE32(static_cast<uint32_t>(body.size() + 4)) + form + body;
}
inline std::string Chunk(const std::string& id, const std::string& data) {
  return id + LE32(static_cast<uint32_t>(data.size())) + data + std::string(data.size() % 2, '\0');
}
inline std::string List(const std::string& type, const std::string& body) {
  return "LIST" + LE32(static_cast<uint32_t>(body.size() + 4)) + type + body;
}

// A scratch folder per test, removed afterwards.
class MediaTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = FreshTestDir("cadenza_media"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    WriteBytes(dir_ / name, bytes);
    return (dir_ / name).string();
  }
  std::filesystem::path dir_;
};

inline std::string Fixture(const std::string& name) {
  return std::string(CADENZA_SOURCE_DIR) + "/media/testdata/" + name;
}

// What ffprobe said about each fixture (fixtures.txt), keyed by file name.
struct ProbeResult {
  std::string codec;
  int sample_rate = 0, channels = 0, bit_rate = 0;  // bit rate "N/A": 0
  double duration = 0;                              // seconds
};
inline std::map<std::string, ProbeResult> ProbeResults() {
  std::map<std::string, ProbeResult> out;
  std::ifstream in(Fixture("fixtures.txt"));
  for (std::string line; std::getline(in, line);) {
    std::replace(line.begin(), line.end(), ',', ' ');
    std::istringstream fields(line);
    std::string name, bit_rate;
    ProbeResult p;
    if (!(fields >> name >> p.codec >> p.sample_rate >> p.channels >> bit_rate >> p.duration))
      continue;
    p.bit_rate = std::atoi(bit_rate.c_str());
    out[name] = p;
  }
  return out;
}

}  // namespace cadenza::testutil

#endif  // CADENZA_MEDIA_MEDIA_TEST_UTIL_H_
