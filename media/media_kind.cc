#include "media/media_kind.h"

#include <array>
#include <filesystem>

#include "platform/text.h"

namespace cadenza {

namespace {

using R = MediaReader;
using U = RebuildUse;

// AAC files go to the analyser and are recorded as movies.
constexpr std::array<MediaKind, 11> kKinds = {{
    {"MP3", "MP3", 1, false, R::kMPEGAudio, false, U::kAlways},
    {"WAV", "WAV", 1, false, R::kWave, false, U::kAlways},
    {"AIFF", "AIFF", 1, false, R::kAiff, false, U::kAlways},
    {"AAC", "AAC", 2, true, R::kAnalyser, false, U::kAlways},
    {"MP4", "MP4", 2, true, R::kAnalyser, true, U::kNotOnShuffle},
    {"MP2", "MP4", 2, true, R::kAnalyser, true, U::kNever},
    {"MPEG", "MP4", 2, true, R::kAnalyser, true, U::kNever},
    {"MPG", "MP4", 2, true, R::kAnalyser, true, U::kNever},
    {"MPEG4", "MP4", 2, true, R::kAnalyser, true, U::kNever},
    {"M4V", "MP4", 2, true, R::kAnalyser, true, U::kNever},
    {"MOV", "MP4", 2, true, R::kAnalyser, true, U::kNever},
}};

}  // namespace

std::string UpperExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  if (!ext.empty()) ext.erase(0, 1);
  return AsciiUpper(ext);
}

const MediaKind* FindMediaKind(const std::string& path) {
  const std::string ext = UpperExtension(path);
  for (const MediaKind& k : kKinds) {
    if (k.extension == ext) return &k;
  }
  return nullptr;
}

bool TakenByRebuild(const std::string& path, bool shuffle) {
  const MediaKind* k = FindMediaKind(path);
  return k && (k->rebuild == RebuildUse::kAlways ||
               (k->rebuild == RebuildUse::kNotOnShuffle && !shuffle));
}

}  // namespace cadenza
