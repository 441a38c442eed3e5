// Probing tagged M4A files: the MP4 reader (iTunes tags and stream
// properties) against TagLib reading tags and audio properties of the same
// files. At start ffmpeg encodes a 4-minute AAC tone at 128 kbit/s with
// tags and a 300x300 cover twice, once with the moov before the media data
// and once after it; the tag writer then makes 1,000 files of about 4 MB
// from them, alternating the two layouts, each with its own title, artist,
// album and track number. Runs with the page cache warm. Needs ffmpeg.
#include <benchmark/benchmark.h>
#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "media/mp4.h"
#include "media/mp4_writer.h"

namespace {

namespace stdfs = std::filesystem;

constexpr int kFiles = 1000;

void Shell(const std::string& cmd) {
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::exit(1);
  }
}

class Corpus {
 public:
  Corpus() {
    dir_ = stdfs::temp_directory_path() / ("cadenza_mp4_bench_" + std::to_string(::getpid()));
    stdfs::create_directories(dir_);
    const std::string d = dir_.string();
    Shell("ffmpeg -v error -y -f lavfi -i 'color=c=gray:s=300x300,noise=alls=60:allf=t' "
          "-frames:v 1 '" + d + "/cover.png'");
    for (const char* layout : {"front", "end"}) {
      Shell("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=240 -i '" + d +
            "/cover.png' -map 0:a -map 1:v -c:a aac -b:a 128k -c:v copy -disposition:v:0 "
            "attached_pic -metadata album_artist=Various -metadata genre=Jazz -metadata "
            "date=2004 -metadata comment='A comment' -metadata disc=1/1 " +
            (std::string(layout) == "front" ? "-movflags +faststart " : "") + "'" + d + "/" +
            layout + ".m4a'");
    }
    for (int i = 0; i < kFiles; ++i) {
      const std::string n = std::to_string(i);
      cadenza::Tags tags;
      tags.title = "Title " + n;
      tags.artist = "Artist " + std::to_string(i / 50);
      tags.album = "Album " + std::to_string(i / 10);
      tags.track_number = i % 10 + 1;
      tags.track_count = 10;
      const std::string path = d + "/track" + n + ".m4a";
      const cadenza::Status s = cadenza::WriteMP4Tags(
          d + (i % 2 ? "/end.m4a" : "/front.m4a"), path, tags);
      if (!s.ok()) {
        std::fprintf(stderr, "tag writer: %s\n", s.message().c_str());
        std::exit(1);
      }
      paths_.push_back(path);
    }
  }
  ~Corpus() { stdfs::remove_all(dir_); }
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  stdfs::path dir_;
  std::vector<std::string> paths_;
};

const Corpus& Files() {
  static Corpus corpus;
  return corpus;
}

void BM_CadenzaMP4Probe(benchmark::State& state) {
  const auto& paths = Files().paths();
  for (auto _ : state) {
    int64_t total = 0;
    for (const std::string& p : paths) {
      cadenza::MP4Info info;
      if (!cadenza::ReadMP4(p, &info).ok()) state.SkipWithError("ReadMP4 failed");
      total += info.duration_ms + info.bitrate_kbps + static_cast<int64_t>(info.tags.title.size());
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(paths.size()));
}

void BM_TagLibMP4Probe(benchmark::State& state) {
  const auto& paths = Files().paths();
  for (auto _ : state) {
    int64_t total = 0;
    for (const std::string& p : paths) {
      TagLib::FileRef f(p.c_str(), true, TagLib::AudioProperties::Average);
      total += f.audioProperties()->lengthInMilliseconds() + f.audioProperties()->bitrate() +
               static_cast<int64_t>(f.tag()->title().size());
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(paths.size()));
}

BENCHMARK(BM_CadenzaMP4Probe)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TagLibMP4Probe)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
