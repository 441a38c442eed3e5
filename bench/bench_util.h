// Small helpers shared by the benchmark programs: clocks, the process's
// memory figures, running a program in a child process with its own peak
// memory, and table printing.
#ifndef CADENZA_BENCH_BENCH_UTIL_H_
#define CADENZA_BENCH_BENCH_UTIL_H_

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

// A line of /proc/self/status ("VmRSS", "VmHWM") in KiB, or -1.
inline long StatusKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':')
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
  return -1;
}

// What a child process printed on its standard output, and how it ended.
struct ChildResult {
  std::string out;
  int exit_code = -1;
  long maxrss_kb = 0;  // the child's own peak resident size (wait4)
  double wall_s = 0;
};

// Runs `argv` in a child process, collects its standard output (or, with
// `discard_output`, sends it to /dev/null) and its own peak resident size.
// The child's standard error goes to ours.
inline ChildResult RunChild(const std::vector<std::string>& argv, bool discard_output = false) {
  ChildResult r;
  int fds[2];
  if (::pipe(fds) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  auto t0 = Clock::now();
  pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(1);
  }
  if (pid == 0) {
    const int out = discard_output ? ::open("/dev/null", O_WRONLY) : fds[1];
    if (out < 0 || ::dup2(out, 1) < 0) ::_exit(126);
    if (out != fds[1]) ::close(out);
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::perror(args[0]);
    ::_exit(127);
  }
  ::close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  struct rusage ru {};
  ::wait4(pid, &status, 0, &ru);
  r.wall_s = SecondsSince(t0);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.maxrss_kb = ru.ru_maxrss;
  return r;
}

// Runs a shell command line; returns its exit code.
inline int Shell(const std::string& command) {
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// "key=value key=value" as printed by the child modes.
inline std::map<std::string, std::string> ParseFields(const std::string& line) {
  std::map<std::string, std::string> m;
  std::istringstream in(line);
  std::string word;
  while (in >> word) {
    size_t eq = word.find('=');
    if (eq != std::string::npos) m[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return m;
}

// A number from a flat JSON object ({"parse_s":0.47,...}), or `fallback`.
inline double JsonNumber(const std::string& json, const std::string& key, double fallback = -1) {
  std::string pat = "\"" + key + "\":";
  size_t at = json.find(pat);
  if (at == std::string::npos) return fallback;
  return std::strtod(json.c_str() + at + pat.size(), nullptr);
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline std::string Fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// Prints rows of cells with each column as wide as its widest cell; the
// first column is left aligned, the others right aligned.
inline void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width;
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) {
      if (width.size() <= i) width.push_back(0);
      width[i] = std::max(width[i], row[i].size());
    }
  for (size_t r = 0; r < rows.size(); ++r) {
    std::string line;
    for (size_t i = 0; i < rows[r].size(); ++i) {
      const std::string& c = rows[r][i];
      std::string pad(width[i] - c.size(), ' ');
      line += i == 0 ? c + pad : "  " + pad + c;
    }
    std::printf("%s\n", line.c_str());
    if (r == 0) std::printf("%s\n", std::string(line.size(), '-').c_str());
  }
  std::fflush(stdout);
}

// Encodes `seconds` of a stereo 440 Hz tone at 44.1 kHz into a 128 kbit/s
// MP3 at `path` with sox and lame (no tag); returns its bytes.
inline std::string MakeMp3(const std::string& path, double seconds) {
  std::string wav = path + ".wav";
  std::string cmd = "sox -n -r 44100 -c 2 '" + wav + "' synth " + std::to_string(seconds) +
                    " sine 440 && lame --silent -b 128 '" + wav + "' '" + path + "'";
  if (Shell(cmd) != 0) {
    std::fprintf(stderr, "cannot make an MP3 with sox and lame: %s\n", cmd.c_str());
    std::exit(1);
  }
  std::remove(wav.c_str());
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An ID3v2.3 tag with a title, an artist, an album and a track number.
inline std::string Id3v2Tag(const std::string& title, const std::string& artist,
                            const std::string& album, int track) {
  auto be32 = [](uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  auto frame = [&](const std::string& id, const std::string& text) {
    std::string body = std::string(1, '\0') + text;  // ISO-8859-1
    return id + be32(static_cast<uint32_t>(body.size())) + std::string(2, '\0') + body;
  };
  std::string body = frame("TIT2", title) + frame("TPE1", artist) + frame("TALB", album) +
                     frame("TRCK", std::to_string(track));
  body += std::string(256, '\0');  // padding
  uint32_t n = static_cast<uint32_t>(body.size());
  std::string size = {char((n >> 21) & 0x7F), char((n >> 14) & 0x7F), char((n >> 7) & 0x7F),
                      char(n & 0x7F)};
  return std::string("ID3\x03\x00\x00", 6) + size + body;
}

// Flushes dirty pages and, when allowed, empties the page cache; returns
// whether the cache was emptied.
inline bool DropCaches() {
  ::sync();
  std::ofstream f("/proc/sys/vm/drop_caches");
  if (!f) return false;
  f << "3\n";
  f.flush();
  return static_cast<bool>(f);
}

// The machine's load averages, for the record.
inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace bench

#endif  // CADENZA_BENCH_BENCH_UTIL_H_
