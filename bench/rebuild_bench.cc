// Rebuilding the database from the media files on a device: how the time
// grows with the number of files.
//
// For each count (1,000 and 10,000 unless told otherwise) a device folder
// gets that many copies of one small real MP3 (about 20 KB, encoded by
// lame), each with its own ID3v2 tag, spread over iPod_Control/Music/F00 to
// F49. clsCadenza::ReBuildDB then installs the blank database, reads every
// file's tags and stream parameters and writes the new database (it copies
// no file). The files stay in the page cache; every count is rebuilt
// several times and the median is reported.
//
// Usage: rebuild_bench [--files 1000,10000] [--runs 3] [--dir DIR]
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "cadenza/cadenza.h"

namespace {

namespace stdfs = std::filesystem;
using bench::Clock;
using bench::Fmt;
using bench::SecondsSince;

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "rebuild_bench: %s\n", message.c_str());
  std::exit(1);
}

struct Options {
  std::vector<int> counts = {1000, 10000};
  int runs = 3;
  std::string dir;
};

Options ParseArgs(int argc, char** argv) {
  Options o;
  const char* tmp = std::getenv("TMPDIR");
  o.dir = std::string(tmp && *tmp ? tmp : "/tmp");
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Die("missing value after " + a);
      return argv[++i];
    };
    if (a == "--files") {
      o.counts.clear();
      std::string v = value();
      for (size_t p = 0; p <= v.size();) {
        size_t q = v.find(',', p);
        if (q == std::string::npos) q = v.size();
        int n = std::atoi(v.substr(p, q - p).c_str());
        if (n <= 0) Die("bad --files " + v);
        o.counts.push_back(n);
        p = q + 1;
      }
    } else if (a == "--runs") {
      o.runs = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--dir") {
      o.dir = value();
    } else {
      Die("usage: rebuild_bench [--files N,N] [--runs R] [--dir DIR]");
    }
  }
  return o;
}

// Counts the rebuild's progress messages of the "Adding File" kind.
class CountingHost : public cadenza::SilentHost {
 public:
  void RebuildStatus(const std::string& status) override {
    if (status.rfind("Adding File", 0) == 0) ++added;
    last = status;
  }
  int added = 0;
  std::string last;
};

void MakeDevice(const std::string& device, int n, const std::string& audio) {
  const std::string music = device + "/iPod_Control/Music";
  for (int d = 0; d < 50; ++d) {
    char name[8];
    std::snprintf(name, sizeof name, "F%02d", d);
    stdfs::create_directories(music + "/" + name);
  }
  stdfs::create_directories(device + "/iPod_Control/iTunes");
  for (int i = 0; i < n; ++i) {
    char rel[32];
    std::snprintf(rel, sizeof rel, "/F%02d/T%05d.mp3", i % 50, i);
    std::ofstream out(music + rel, std::ios::binary);
    out << bench::Id3v2Tag("Rebuild Test " + std::to_string(i + 1), "Bench Artist",
                           "Bench Album " + std::to_string(i / 10 + 1), i % 10 + 1)
        << audio;
    if (!out) Die("cannot write " + music + rel);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o = ParseArgs(argc, argv);
  const std::string root = o.dir + "/cadenza_rebuild_bench_" + std::to_string(::getpid());
  stdfs::create_directories(root);
  std::printf("rebuild_bench: load average %s, %ld cores, folder %s\n",
              bench::LoadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN), root.c_str());
  std::string audio = bench::MakeMp3(root + "/tone.mp3", 1.2);
  std::remove((root + "/tone.mp3").c_str());
  std::printf("one MP3 of %.1f KB\n", static_cast<double>(audio.size()) / 1e3);

  std::vector<std::vector<std::string>> rows = {
      {"files", "rebuild s (median)", "min s", "max s", "ms per file", "tracks"}};
  std::vector<double> medians;
  for (int n : o.counts) {
    const std::string device = root + "/device_" + std::to_string(n);
    MakeDevice(device, n, audio);
    std::vector<double> times;
    int tracks = 0;
    for (int run = 0; run < o.runs; ++run) {
      CountingHost host;
      cadenza::clsCadenza c(&host);
      c.initlaize(0, "rebuild_bench", device);
      auto t0 = Clock::now();
      bool ok = c.ReBuildDB();
      times.push_back(SecondsSince(t0));
      if (!ok) Die("ReBuildDB failed: " + c.status().message() + " (" + host.last + ")");
      tracks = c.GetAllTracks().m_mhlt.iNumberOfllTracks;
      if (host.added != n) Die("the rebuild saw " + std::to_string(host.added) + " files");
    }
    double med = bench::Median(times);
    medians.push_back(med);
    rows.push_back({std::to_string(n), Fmt("%.3f", med),
                    Fmt("%.3f", *std::min_element(times.begin(), times.end())),
                    Fmt("%.3f", *std::max_element(times.begin(), times.end())),
                    Fmt("%.3f", med * 1000 / n), std::to_string(tracks)});
    stdfs::remove_all(device);
  }
  std::printf("\n");
  bench::PrintTable(rows);
  if (medians.size() >= 2) {
    double ratio = medians.back() / medians.front();
    double k = static_cast<double>(o.counts.back()) / o.counts.front();
    std::printf("\ngoal: %d files take at most %.0fx as long as %d (linear: %.0fx)\n",
                o.counts.back(), k * 1.2, o.counts.front(), k);
    bench::PrintTable({{"measure", "ratio", "met"},
                       {"rebuild time", Fmt("%.2fx", ratio), ratio <= k * 1.2 ? "yes" : "NO"}});
  }
  std::printf("\nload average at the end %s\n", bench::LoadAverage().c_str());
  stdfs::remove_all(root);
  return 0;
}
