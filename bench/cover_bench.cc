// Importing music with covers onto an iPod classic, against the same import
// without covers; and writing the artwork for growing numbers of images.
//
// 100 albums of 10 tracks: one MP3 per album (30 s of a tone at 128 kbit/s)
// with its own 600×600 JPEG cover (a detailed test picture of another hue
// per album), entered 10 times each. In turns on fresh device folders
// (SysInfo of an iPod classic): Library::Import of the 1,000 files and one
// Save, with ImportOptions::covers off, then on. Goal: with covers at most
// 1.5 times the time without.
//
// Then CoverStore alone: N distinct covers decoded, rendered into the four
// classic formats, appended and committed, for N = 100, 200, 400; the time
// per image should stay flat (linear growth).
//
// Usage: cover_bench [--albums 100] [--tracks-per-album 10] [--dir DIR]
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "cadenza/library.h"
#include "component/cover_store.h"
#include "platform/image.h"

namespace {

namespace stdfs = std::filesystem;
using bench::Clock;
using bench::SecondsSince;

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "cover_bench: %s\n", message.c_str());
  std::exit(1);
}

const std::vector<cadenza::ArtworkFormat> kClassic = {{1061, 56, 56, 0, 0, false},
                                                      {1055, 128, 128, 0, 0, false},
                                                      {1068, 128, 128, 0, 0, false},
                                                      {1060, 320, 320, 0, 0, false}};

std::string Cover(const std::string& dir, int n) {
  const std::string path = dir + "/cover" + std::to_string(n) + ".jpg";
  if (bench::Shell("ffmpeg -v error -y -f lavfi -i testsrc2=s=600x600 -vf hue=h=" +
                   std::to_string(n * 7 % 360) + " -frames:v 1 -q:v 3 '" + path + "'") != 0)
    Die("ffmpeg could not make a cover");
  return path;
}

// One MP3 per album with its cover; `per_album` names for each.
std::vector<std::string> MakeSources(const std::string& dir, int albums, int per_album) {
  std::vector<std::string> files;
  const std::string tone = dir + "/tone.mp3";
  if (bench::Shell("ffmpeg -v error -y -f lavfi -i sine=d=30 -c:a libmp3lame -b:a 128k '" + tone +
                   "'") != 0)
    Die("ffmpeg could not make the MP3");
  for (int a = 0; a < albums; ++a) {
    const std::string album = dir + "/album" + std::to_string(a) + ".mp3";
    if (bench::Shell("ffmpeg -v error -y -i '" + tone + "' -i '" + Cover(dir, a) +
                     "' -map 0 -map 1 -c copy -id3v2_version 3 -metadata album='Album " +
                     std::to_string(a) + "' -metadata:s:v comment='Cover (front)' '" + album +
                     "'") != 0)
      Die("ffmpeg could not tag an album");
    for (int t = 0; t < per_album; ++t) files.push_back(album);
  }
  return files;
}

double ImportSeconds(const std::vector<std::string>& files, const std::string& device, bool covers) {
  stdfs::remove_all(device);
  stdfs::create_directories(device + "/iPod_Control/Device");
  std::ofstream(device + "/iPod_Control/Device/SysInfo")
      << "ModelNumStr: xB029\nFirewireGuid: 0x000A27001A2B3C4D\n";
  if (!cadenza::Library(device).Reset().ok()) Die("Reset failed");
  const auto t0 = Clock::now();
  std::unique_ptr<cadenza::Library> lib;
  if (!cadenza::Library::Open(device, {}, &lib).ok()) Die("Open failed");
  cadenza::ImportOptions how;
  how.allow_duplicates = true;
  how.covers = covers;
  for (const std::string& f : files) {
    int32_t id = 0;
    if (!lib->Import(f, how, &id).ok()) Die("Import failed: " + f);
  }
  if (cadenza::Status st = lib->Save(); !st.ok()) Die("Save failed: " + st.message());
  return SecondsSince(t0);
}

void ArtworkGrowth(const std::string& dir) {
  std::vector<cadenza::Image> images;
  for (int n = 0; n < 8; ++n) {
    std::ifstream in(Cover(dir, 500 + n), std::ios::binary);
    const std::string jpeg((std::istreambuf_iterator<char>(in)), {});
    if (!cadenza::DecodeImage(jpeg, &images.emplace_back()).ok()) Die("decode failed");
  }
  for (int count : {100, 200, 400}) {
    const std::string folder = dir + "/artwork" + std::to_string(count);
    stdfs::remove_all(folder);
    stdfs::create_directories(folder);
    const auto t0 = Clock::now();
    cadenza::CoverStore store(folder, kClassic);
    if (!store.Load().ok()) Die("Load failed");
    for (int i = 0; i < count; ++i) {
      int32_t id = 0;
      if (!store.Add(images[static_cast<size_t>(i) % images.size()], 1000 + i, 100, &id).ok())
        Die("Add failed");
    }
    if (!store.Commit().ok()) Die("Commit failed");
    const double s = SecondsSince(t0);
    std::printf("artwork write: %4d images %.3f s, %.2f ms per image\n", count, s,
                1000 * s / count);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int albums = 100, per_album = 10;
  std::string dir = (stdfs::temp_directory_path() / "cadenza_cover_bench").string();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--albums") albums = std::atoi(argv[i + 1]);
    else if (a == "--tracks-per-album") per_album = std::atoi(argv[i + 1]);
    else if (a == "--dir") dir = argv[i + 1];
  }
  stdfs::remove_all(dir);
  stdfs::create_directories(dir);
  const std::vector<std::string> files = MakeSources(dir, albums, per_album);
  std::printf("cover_bench: %zu tracks of %d albums, load average %s\n", files.size(), albums,
              bench::LoadAverage().c_str());
  const double plain = ImportSeconds(files, dir + "/plain", false);
  const double covers = ImportSeconds(files, dir + "/covers", true);
  std::printf("import without covers: %.2f s\nimport with covers:    %.2f s (%.2fx; goal 1.5x)\n",
              plain, covers, covers / plain);
  ArtworkGrowth(dir);
  stdfs::remove_all(dir);
  return 0;
}
