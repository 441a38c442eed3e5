// What the end-to-end tests share: the media files they import, a fixture
// with a scratch folder and device options that find no real device, and
// running programs through the shell.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "cadenza/cadenza.h"
#include "testing/scripted_host.h"
#include "testing/temp_dir.h"

namespace cadenza::e2e {

namespace stdfs = std::filesystem;

// Real encoders' output.
inline const std::string kMedia = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/";

inline uint32_t U32(std::string_view b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 4; at + 4 <= b.size() && i-- > 0;) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a shell command with no input: its exit status (-1 when it did not
// exit) and its standard output.
struct RunResult {
  int status = -1;
  std::string out;
};
inline RunResult Shell(const std::string& cmd) {
  RunResult r;
  FILE* p = popen((cmd + " 2>/dev/null </dev/null").c_str(), "r");
  if (!p) return r;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// A track's texts, size, length and bit rate as one line to compare.
inline std::string Summary(const TrackInfo& i) {
  std::ostringstream o;
  o << i.sTitle << '|' << i.sArtist << '|' << i.sAlbum << '|' << i.sComposer << '|' << i.sGenre
    << '|' << i.sYear << '|' << i.sComment << '|' << i.iFileSize << '|' << i.iTrackTimLength << '|'
    << i.iBitrateInKbs;
  return o.str();
}

// A scratch folder `base_` for the test, and options under which the
// library looks for no real device.
class E2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = FreshTestDir("cadenza_e2e");
    stdfs::create_directories(base_ / "nosys");
    WriteBytes(base_ / "mountinfo", "");
    opts_.sysfs_root = (base_ / "nosys").string();
    opts_.mountinfo_path = (base_ / "mountinfo").string();
  }
  void TearDown() override { stdfs::remove_all(base_); }
  std::unique_ptr<clsCadenza> Open(const stdfs::path& device) {
    auto c = std::make_unique<clsCadenza>(&host_, opts_);
    c->initlaize(0, "Test", device.string() + "/");
    return c;
  }
  static stdfs::path Db(const stdfs::path& device) {
    return device / "iPod_Control/iTunes/iTunesDB";
  }

  stdfs::path base_;
  Options opts_;
  ScriptedHost host_;
};

}  // namespace cadenza::e2e
