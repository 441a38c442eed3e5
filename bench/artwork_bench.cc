// Cover art: decoding a 600×600 JPEG and rendering it into the four formats
// of an iPod classic (1055 and 1068 at 128×128, 1060 at 320×320, 1061 at
// 55×55 with 4-byte rows). The JPEG, a detailed test picture, is made with
// ffmpeg at start. Goal: at most 20 ms for decoding and all four renders.
//
//   artwork_bench [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "media/artwork_render.h"
#include "platform/image.h"

namespace {

namespace stdfs = std::filesystem;

const std::vector<cadenza::ArtworkFormat> kClassic = {
    {1055, 128, 128, 0, 0, false},
    {1068, 128, 128, 0, 0, false},
    {1060, 320, 320, 0, 0, false},
    {1061, 55, 55, 4, 0, false},
};

// The bytes of the test JPEG, made once.
const std::string& Jpeg() {
  static const std::string bytes = [] {
    const char* tmp = std::getenv("TMPDIR");
    const stdfs::path path =
        stdfs::path(tmp && *tmp ? tmp : "/tmp") / "cadenza_artwork_bench.jpg";
    const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc2=s=600x600 -frames:v 1 "
                                "-q:v 3 '" + path.string() + "'";
    if (bench::Shell(command) != 0) {
      std::fprintf(stderr, "ffmpeg could not make the test picture\n");
      std::exit(1);
    }
    std::ifstream in(path, std::ios::binary);
    std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    stdfs::remove(path);
    return out;
  }();
  return bytes;
}

void BM_DecodeJpeg600(benchmark::State& state) {
  for (auto _ : state) {
    cadenza::Image image;
    if (!cadenza::DecodeImage(Jpeg(), &image).ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(image.rgb.data());
  }
}
BENCHMARK(BM_DecodeJpeg600)->Unit(benchmark::kMillisecond);

void BM_RenderClassicFormats(benchmark::State& state) {
  cadenza::Image image;
  if (!cadenza::DecodeImage(Jpeg(), &image).ok()) state.SkipWithError("decode failed");
  for (auto _ : state) {
    for (const cadenza::ArtworkFormat& f : kClassic) {
      cadenza::RenderedArtwork slot;
      (void)cadenza::RenderArtwork(image, f, &slot);
      benchmark::DoNotOptimize(slot.pixels.data());
    }
  }
}
BENCHMARK(BM_RenderClassicFormats)->Unit(benchmark::kMillisecond);

// The whole pipeline, the figure the goal applies to.
void BM_DecodeAndRenderClassic(benchmark::State& state) {
  for (auto _ : state) {
    cadenza::Image image;
    if (!cadenza::DecodeImage(Jpeg(), &image).ok()) state.SkipWithError("decode failed");
    for (const cadenza::ArtworkFormat& f : kClassic) {
      cadenza::RenderedArtwork slot;
      (void)cadenza::RenderArtwork(image, f, &slot);
      benchmark::DoNotOptimize(slot.pixels.data());
    }
  }
}
BENCHMARK(BM_DecodeAndRenderClassic)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
