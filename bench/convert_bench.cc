// Converting a folder of FLAC files to AAC: one file at a time against the
// conversion pool with its default number of workers (one per hardware
// thread), the caller taking the results in order as an import does. The
// sources, 4-minute stereo 44.1 kHz FLAC files (a tone over soft pink noise,
// different for each file), are made once with ffmpeg into
// $TMPDIR/cadenza_convert_bench_cache and reused. Prints the ratio of the
// two wall times (goal: at most 0.6 on two cores).
//
//   convert_bench                       100 files
//   CADENZA_CONVERT_BENCH_FILES=8 convert_bench   fewer, for a quick run
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "media/convert.h"
#include "media/convert_pool.h"

namespace {

namespace stdfs = std::filesystem;

constexpr int kSeconds = 240;

stdfs::path TempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? stdfs::path(tmp) : stdfs::path("/tmp");
}

int FileCount() {
  const char* n = std::getenv("CADENZA_CONVERT_BENCH_FILES");
  int count = n ? std::atoi(n) : 100;
  return count > 0 ? count : 100;
}

// The cached sources, made on first use.
const std::vector<std::string>& Sources() {
  static const std::vector<std::string> sources = [] {
    const stdfs::path cache = TempRoot() / "cadenza_convert_bench_cache";
    stdfs::create_directories(cache);
    std::vector<std::string> out;
    for (int i = 0; i < FileCount(); ++i) {
      const stdfs::path path = cache / ("song" + std::to_string(i) + ".flac");
      if (!stdfs::exists(path)) {
        // Written under another name first: an interrupted run leaves no
        // short file in the cache.
        const std::string part = path.string() + ".part.flac";
        const std::string command =
            "ffmpeg -v error -y -f lavfi -i sine=f=" + std::to_string(110 + 7 * i) +
            ":r=44100:d=" + std::to_string(kSeconds) + " -f lavfi -i anoisesrc=c=pink:a=0.05:r=44100:d=" +
            std::to_string(kSeconds) + ":seed=" + std::to_string(i + 1) +
            " -filter_complex '[0:a][1:a]amerge=inputs=2,pan=stereo|c0=c0+c1|c1=0.8*c0+c1,"
            "volume=0.5' -metadata TITLE=Song" + std::to_string(i) +
            " -metadata TRACKNUMBER=" + std::to_string(i % 20 + 1) +
            " -metadata TRACKTOTAL=20 -c:a flac '" + part + "'";
        if (bench::Shell(command) != 0) {
          std::fprintf(stderr, "could not make %s with ffmpeg\n", path.c_str());
          std::exit(1);
        }
        stdfs::rename(part, path);
      }
      out.push_back(path.string());
    }
    return out;
  }();
  return sources;
}

double g_sequential_s = 0, g_parallel_s = 0;

// A fresh output folder per run, removed afterwards.
struct OutputFolder {
  OutputFolder() : path(TempRoot() / "cadenza_convert_bench_out") {
    stdfs::remove_all(path);
    stdfs::create_directories(path);
  }
  ~OutputFolder() { stdfs::remove_all(path); }
  std::string Target(size_t i) const { return (path / (std::to_string(i) + ".m4a")).string(); }
  stdfs::path path;
};

void BM_OneAtATime(benchmark::State& state) {
  const auto& sources = Sources();
  for (auto _ : state) {
    OutputFolder out;
    auto start = bench::Clock::now();
    for (size_t i = 0; i < sources.size(); ++i) {
      cadenza::Status s = cadenza::ConvertAudio(sources[i], out.Target(i), {});
      if (!s.ok()) state.SkipWithError(s.message().c_str());
    }
    g_sequential_s = bench::SecondsSince(start);
  }
  state.counters["files"] = static_cast<double>(sources.size());
}

void BM_Pool(benchmark::State& state) {
  const auto& sources = Sources();
  for (auto _ : state) {
    OutputFolder out;
    auto start = bench::Clock::now();
    cadenza::ConvertPool pool;
    state.counters["workers"] = pool.workers();
    for (size_t i = 0; i < sources.size(); ++i) {
      pool.Submit([&, i] { return cadenza::ConvertAudio(sources[i], out.Target(i), {}); });
    }
    for (size_t i = 0; i < sources.size(); ++i) {
      cadenza::Status s = pool.Wait(i);
      if (!s.ok()) state.SkipWithError(s.message().c_str());
    }
    g_parallel_s = bench::SecondsSince(start);
  }
  state.counters["files"] = static_cast<double>(sources.size());
}

BENCHMARK(BM_OneAtATime)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_Pool)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("load average at start: %s\n", bench::LoadAverage().c_str());
  std::printf("%d sources of %d s in the cache (made now when missing)\n",
              static_cast<int>(Sources().size()), kSeconds);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("load average at end: %s\n", bench::LoadAverage().c_str());
  if (g_sequential_s > 0 && g_parallel_s > 0) {
    std::printf("one at a time %.1f s, pool %.1f s, ratio pool/one at a time %.2f (goal <= 0.60)\n",
                g_sequential_s, g_parallel_s, g_parallel_s / g_sequential_s);
  }
  return 0;
}
