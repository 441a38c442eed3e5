// Probing tagged MP3 files: the ID3 and MPEG readers (both tags and the
// stream parameters) against TagLib reading tags and audio properties of the
// same files. The files are made at start in a temporary folder: one MP3 of
// about 4 MB (a short encoded fixture repeated) written 1,000 times, each
// with its own ID3v2.3 tag (text frames, a picture-sized frame, padding)
// and an ID3v1 tag. Runs with the page cache warm.
#include <benchmark/benchmark.h>
#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/id3.h"
#include "media/mpeg_audio.h"

namespace {

namespace stdfs = std::filesystem;

constexpr int kFiles = 1000;
constexpr size_t kAudioBytes = 4'000'000;

std::string SyncSafe(uint32_t v) {
  return {char((v >> 21) & 0x7F), char((v >> 14) & 0x7F), char((v >> 7) & 0x7F),
          char(v & 0x7F)};
}
std::string BE32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string Frame(const std::string& id, const std::string& body) {
  return id + BE32(static_cast<uint32_t>(body.size())) + std::string(2, '\0') + body;
}

class Corpus {
 public:
  Corpus() {
    dir_ = stdfs::temp_directory_path() /
           ("cadenza_media_bench_" + std::to_string(::getpid()));
    stdfs::create_directories(dir_);
    std::ifstream in(std::string(CADENZA_SOURCE_DIR) +
                         "/media/testdata/mp1l3_cbr128_noinfo.mp3",
                     std::ios::binary);
    std::string one((std::istreambuf_iterator<char>(in)), {});
    std::string audio;
    while (!one.empty() && audio.size() < kAudioBytes) audio += one;
    for (int i = 0; i < kFiles; ++i) {
      std::string n = std::to_string(i);
      std::string body = Frame("TIT2", '\0' + ("Title " + n)) +
                         Frame("TPE1", '\0' + ("Artist " + n)) +
                         Frame("TALB", '\0' + ("Album " + std::to_string(i / 10))) +
                         Frame("TYER", std::string("\0" "2004", 5)) +
                         Frame("TCON", std::string("\0" "(17)", 5)) +
                         Frame("TRCK", '\0' + std::to_string(i % 20 + 1)) +
                         Frame("COMM", std::string("\0eng\0", 5) + "comment " + n) +
                         Frame("APIC", std::string(20000, '\x42'));
      std::string tag = "ID3\x03" + std::string(2, '\0') +
                        SyncSafe(static_cast<uint32_t>(body.size() + 2048)) + body +
                        std::string(2048, '\0');
      std::string v1 = "TAG" + std::string(124, ' ') + '\x11';
      std::string path = (dir_ / ("track" + n + ".mp3")).string();
      std::ofstream(path, std::ios::binary) << tag << audio << v1;
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

void BM_CadenzaProbe(benchmark::State& state) {
  const auto& paths = Files().paths();
  for (auto _ : state) {
    int64_t total = 0;
    for (const std::string& p : paths) {
      cadenza::ID3TagInfo v1, v2;
      cadenza::ReadID3v1Tag(p, v1);
      cadenza::ReadID3v2Tag(p, v2);
      cadenza::MPEGAudioInfo info;
      cadenza::ReadMPEGAudioInfo(p, info);
      total += info.iDuration + static_cast<int64_t>(v2.sTitle.size());
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(paths.size()));
}

void BM_TagLibProbe(benchmark::State& state) {
  const auto& paths = Files().paths();
  for (auto _ : state) {
    int64_t total = 0;
    for (const std::string& p : paths) {
      TagLib::FileRef f(p.c_str(), true, TagLib::AudioProperties::Average);
      total += f.audioProperties()->lengthInSeconds() +
               static_cast<int64_t>(f.tag()->title().size());
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(paths.size()));
}

BENCHMARK(BM_CadenzaProbe)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TagLibProbe)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
