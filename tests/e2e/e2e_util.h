// Small helpers shared by the end-to-end tests: whole files, little-endian
// words, and running a program through the shell.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cadenza/records.h"

namespace cadenza::e2e {

// The media files the tests import: real encoders' output.
inline const std::string kMedia = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/";

inline std::string Get(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void Put(const std::filesystem::path& p, const std::string& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}
inline uint32_t U32(std::string_view b, size_t at) {
  if (at + 4 > b.size()) return 0;
  uint32_t v = 0;
  for (size_t i = 4; i-- > 0;) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
// Runs a shell command with no input; its exit status (-1 when it did not
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

}  // namespace cadenza::e2e
