// Importing MP3 files onto a device folder against copying the same files
// with cp, on the same disk, in the same run.
//
// One real MP3 of about 4 MB (250 s of a tone, encoded by lame at
// 128 kbit/s) is written N times (1,000 unless told otherwise) into a source
// folder, each copy with its own ID3v2 tag. Then, in turns:
//   cp       one "cp" of the whole file list into a plain folder;
//   import   clsCadenza on a fresh device folder (ResetiPodDB, LoadiPodDB),
//            AddTrack for each file as the command-line tool does, then one
//            WriteiPodDB.
// The import flushes the copied files before the database that lists them
// is written; cp does not. The sync that follows each is timed separately
// and reported beside it. Then the lock and the free-space check that each
// AddTrack makes are timed alone, once per file. Before each timed step the
// page cache is emptied when the process may do so (as root), so both read
// their sources from the disk; otherwise both run with the sources cached
// and the report says so.
//
// With --m4a the files are AAC in MP4 (250 s encoded by ffmpeg at 128
// kbit/s, each copy with its own title and a comment that gives it a size
// of its own, written by our MP4 tag writer), and
// the import goes through Library::Import (description by our MP4 reader,
// the duplicate check, the copy) and one Library::Save.
//
// Usage: import_bench [--files 1000] [--runs 2] [--dir DIR] [--warm] [--m4a]
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "cadenza/cadenza.h"
#include "cadenza/library.h"
#include "media/mp4_writer.h"
#include "platform/fs.h"

namespace {

namespace stdfs = std::filesystem;
using bench::Clock;
using bench::Fmt;
using bench::SecondsSince;

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "import_bench: %s\n", message.c_str());
  std::exit(1);
}

struct Options {
  int files = 1000;
  int runs = 2;
  std::string dir;
  bool warm = false;
  bool m4a = false;
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
      o.files = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--runs") {
      o.runs = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--dir") {
      o.dir = value();
    } else if (a == "--warm") {
      o.warm = true;
    } else if (a == "--m4a") {
      o.m4a = true;
    } else {
      Die("usage: import_bench [--files N] [--runs R] [--dir DIR] [--warm] [--m4a]");
    }
  }
  return o;
}

uint64_t FreeBytes(const std::string& dir) {
  struct statvfs v {};
  if (::statvfs(dir.c_str(), &v) != 0) return 0;
  return static_cast<uint64_t>(v.f_bavail) * v.f_frsize;
}

struct Timing {
  double copy_s = 0;   // the timed step
  double sync_s = 0;   // the sync right after it
  double add_s = 0;    // import only: the AddTrack calls
  double write_s = 0;  // import only: WriteiPodDB
  double guard_s = 0;  // import only: the lock and the free-space check, once per file
  int added = 0;
};

Timing RunCp(const std::vector<std::string>& files, const std::string& target) {
  stdfs::create_directories(target);
  std::vector<std::string> argv = {"/bin/cp"};
  argv.insert(argv.end(), files.begin(), files.end());
  argv.push_back(target);
  Timing t;
  auto t0 = Clock::now();
  bench::ChildResult r = bench::RunChild(argv);
  t.copy_s = SecondsSince(t0);
  if (r.exit_code != 0) Die("cp failed");
  t0 = Clock::now();
  ::sync();
  t.sync_s = SecondsSince(t0);
  t.added = static_cast<int>(files.size());
  return t;
}

// The import through the modern interface, as `cadenza add` makes it.
Timing RunLibraryImport(const std::vector<std::string>& files, const std::string& device) {
  stdfs::create_directories(device);
  if (!cadenza::Library(device).Reset().ok()) Die("Reset failed");
  ::sync();
  Timing t;
  auto t0 = Clock::now();
  std::unique_ptr<cadenza::Library> lib;
  if (!cadenza::Library::Open(device, {}, &lib).ok()) Die("Open failed");
  for (const std::string& f : files) {
    int32_t id = 0;
    if (lib->Import(f, cadenza::ImportOptions{}, &id).ok()) ++t.added;
  }
  t.add_s = SecondsSince(t0);
  auto t1 = Clock::now();
  if (!lib->Save().ok()) Die("Save failed");
  t.write_s = SecondsSince(t1);
  t.copy_s = SecondsSince(t0);
  t0 = Clock::now();
  ::sync();
  t.sync_s = SecondsSince(t0);
  return t;
}

Timing RunImport(const std::vector<std::string>& files, const std::string& device) {
  stdfs::create_directories(device);
  cadenza::SilentHost host;
  cadenza::clsCadenza c(&host);
  c.initlaize(0, "import_bench", device);
  if (!c.ResetiPodDB()) Die("ResetiPodDB failed: " + c.status().message());
  ::sync();
  Timing t;
  auto t0 = Clock::now();
  if (!c.LoadiPodDB()) Die("LoadiPodDB failed: " + c.status().message());
  for (const std::string& f : files) {
    cadenza::TrackInfo info;
    if (c.AddTrack(f, info) > 0) ++t.added;
  }
  t.add_s = SecondsSince(t0);
  auto t1 = Clock::now();
  c.WriteiPodDB();
  t.write_s = SecondsSince(t1);
  t.copy_s = SecondsSince(t0);
  if (!c.status().ok()) Die("WriteiPodDB failed: " + c.status().message());
  t0 = Clock::now();
  ::sync();
  t.sync_s = SecondsSince(t0);
  // What one writer at a time and the room check add to each file: the
  // device's lock taken and released, and the file system's free space.
  t0 = Clock::now();
  for (size_t i = 0; i < files.size(); ++i) {
    if (!c.LockDevice().ok()) Die("LockDevice failed");
    cadenza::fs::SpaceInfo space;
    cadenza::fs::GetSpace(device, &space);
    c.UnlockDevice();
  }
  t.guard_s = SecondsSince(t0);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = ParseArgs(argc, argv);
  const std::string root = o.dir + "/cadenza_import_bench_" + std::to_string(::getpid());
  stdfs::create_directories(root);
  const std::string src = root + "/source";
  stdfs::create_directories(src);

  std::printf("import_bench: load average %s, %ld cores, folder %s\n",
              bench::LoadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN), root.c_str());
  std::string audio;
  if (o.m4a) {
    const std::string tone = root + "/tone.m4a";
    if (bench::RunChild({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=d=250", "-c:a",
                         "aac", "-b:a", "128k", "-metadata", "artist=Bench Artist", tone})
            .exit_code != 0)
      Die("ffmpeg could not make the M4A file");
    std::ifstream in(tone, std::ios::binary);
    audio.assign(std::istreambuf_iterator<char>(in), {});
  } else {
    audio = bench::MakeMp3(root + "/tone.mp3", 250);
    std::remove((root + "/tone.mp3").c_str());
  }
  const uint64_t per_file = audio.size() + 512;
  // The sources plus two copies of them, and a tenth for the file system.
  const uint64_t need = per_file * static_cast<uint64_t>(o.files) * 3;
  const uint64_t free_bytes = FreeBytes(root);
  std::printf("one %s of %.2f MB; %d files need %.1f GB (sources and two copies), %.1f GB "
              "free\n",
              o.m4a ? "M4A" : "MP3", static_cast<double>(audio.size()) / 1e6, o.files, static_cast<double>(need) / 1e9,
              static_cast<double>(free_bytes) / 1e9);
  if (need + need / 10 > free_bytes) {
    int fit = static_cast<int>(free_bytes / (per_file * 3 + per_file * 3 / 10));
    if (fit < 1) Die("no room for the files");
    std::printf("not enough room: using %d files instead\n", fit);
    o.files = fit;
  }

  std::vector<std::string> files;
  for (int i = 0; i < o.files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, o.m4a ? "track%04d.m4a" : "track%04d.mp3", i);
    std::string path = src + "/" + name;
    if (o.m4a) {
      cadenza::Tags tags;
      tags.title = "Import Test " + std::to_string(i + 1);
      tags.album = "Bench Album " + std::to_string(i / 10 + 1);
      tags.track_number = i % 10 + 1;
      // Distinct songs rarely have one size to the byte: the comment gives
      // each file its own, as a library of different songs has.
      tags.comment = std::string(static_cast<size_t>(i) + 1, 'c');
      if (!cadenza::WriteMP4Tags(root + "/tone.m4a", path, tags).ok()) Die("cannot write " + path);
      files.push_back(path);
      continue;
    }
    std::ofstream out(path, std::ios::binary);
    out << bench::Id3v2Tag("Import Test " + std::to_string(i + 1), "Bench Artist",
                           "Bench Album " + std::to_string(i / 10 + 1), i % 10 + 1)
        << audio;
    if (!out) Die("cannot write " + path);
    files.push_back(path);
  }
  ::sync();

  bool cold = !o.warm && bench::DropCaches();
  if (!cold) {
    // Both read their sources from the page cache: read them once now.
    std::string buf;
    for (const std::string& f : files) {
      std::ifstream in(f, std::ios::binary);
      buf.assign(std::istreambuf_iterator<char>(in), {});
    }
  }
  std::printf("page cache: %s\n", cold ? "emptied before each step (sources read from the disk)"
                                       : "warm (sources cached for both)");

  std::vector<Timing> cp_runs, import_runs;
  for (int run = 0; run < o.runs; ++run) {
    // Alternate the order, so neither always goes first.
    for (int k = 0; k < 2; ++k) {
      bool do_cp = (run + k) % 2 == 0;
      if (cold) bench::DropCaches();
      else ::sync();
      std::string target = root + (do_cp ? "/cp_target" : "/device");
      if (do_cp) cp_runs.push_back(RunCp(files, target));
      else import_runs.push_back(o.m4a ? RunLibraryImport(files, target) : RunImport(files, target));
      stdfs::remove_all(target);
      ::sync();
    }
  }

  auto med = [](const std::vector<Timing>& v, double Timing::*m) {
    std::vector<double> x;
    for (const Timing& t : v) x.push_back(t.*m);
    return bench::Median(x);
  };
  const double file_mb = static_cast<double>(per_file) / 1e6;
  const double all_mb = file_mb * o.files;
  std::printf("\n%d files of %.2f MB, median of %d runs\n", o.files, file_mb, o.runs);
  double cp = med(cp_runs, &Timing::copy_s), cps = med(cp_runs, &Timing::sync_s);
  double im = med(import_runs, &Timing::copy_s), ims = med(import_runs, &Timing::sync_s);
  bench::PrintTable({
      {"step", "time s", "then sync s", "together s", "MB/s (together)"},
      {"cp", Fmt("%.2f", cp), Fmt("%.2f", cps), Fmt("%.2f", cp + cps),
       Fmt("%.0f", all_mb / (cp + cps))},
      {o.m4a ? "import (Library::Import x N + Save)" : "import (AddTrack x N + WriteiPodDB)", Fmt("%.2f", im), Fmt("%.2f", ims),
       Fmt("%.2f", im + ims), Fmt("%.0f", all_mb / (im + ims))},
      {"  of which AddTrack calls", Fmt("%.2f", med(import_runs, &Timing::add_s)), "", "", ""},
      {"  of which WriteiPodDB", Fmt("%.3f", med(import_runs, &Timing::write_s)), "", "", ""},
      {"  of which lock and free-space check", Fmt("%.3f", med(import_runs, &Timing::guard_s)), "",
       "", ""},
  });
  std::printf("tracks added per import: %d of %d\n",
              import_runs.empty() ? 0 : import_runs.front().added, o.files);
  std::printf("\ngoal: import at most 1.3x the time of cp\n");
  const double guard = med(import_runs, &Timing::guard_s);
  std::printf("goal: the lock and the free-space check add at most 2%% to the import\n");
  bench::PrintTable({{"measure", "ratio", "met"},
                     {"lock and free-space check / import with its sync",
                      Fmt("%.2f%%", 100 * guard / (im + ims)), guard <= 0.02 * (im + ims) ? "yes" : "NO"},
                     {"without the sync", Fmt("%.2fx", im / cp), im <= 1.3 * cp ? "yes" : "NO"},
                     {"with the sync", Fmt("%.2fx", (im + ims) / (cp + cps)),
                      im + ims <= 1.3 * (cp + cps) ? "yes" : "NO"}});
  std::printf("\nload average at the end %s\n", bench::LoadAverage().c_str());
  stdfs::remove_all(root);
  return 0;
}
