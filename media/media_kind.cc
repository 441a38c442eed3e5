#include "media/media_kind.h"

#include <array>
#include <filesystem>

#include "platform/text.h"

namespace cadenza {

namespace {

using R = MediaReader;
using U = RebuildUse;

// Raw AAC streams go to the analyser but are audio: a movie flag would put
// them in the iPod's video menu. MP4 audio files are read by our own reader;
// what the iPod cannot play is converted to MP4 audio ("M4A") on import.
constexpr std::array<MediaKind, 26> kKinds = {{
    {"MP3", "MP3", 1, false, R::kMPEGAudio, false, U::kAlways},
    {"WAV", "WAV", 1, false, R::kWave, false, U::kAlways},
    {"AIFF", "AIFF", 1, false, R::kAiff, false, U::kAlways},
    {"AAC", "AAC", 1, false, R::kAnalyser, false, U::kAlways},
    {"M4A", "M4A", 1, false, R::kMP4, false, U::kAlways},
    {"M4B", "M4B", 8, false, R::kMP4, false, U::kAlways},
    {"M4P", "M4P", 1, false, R::kProtected, false, U::kNever},
    {"FLAC", "M4A", 1, false, R::kConvertAudio, false, U::kNever},
    {"OGG", "M4A", 1, false, R::kConvertAudio, false, U::kNever},
    {"OGA", "M4A", 1, false, R::kConvertAudio, false, U::kNever},
    {"OPUS", "M4A", 1, false, R::kConvertAudio, false, U::kNever},
    {"WV", "M4A", 1, false, R::kConvertAudio, false, U::kNever},
    {"APE", "M4A", 1, false, R::kConvertAudio, false, U::kNever},
    {"WMA", "M4A", 1, false, R::kConvertAudio, false, U::kNever},
    {"AVI", "M4V", 2, true, R::kConvertVideo, false, U::kNever},
    {"MKV", "M4V", 2, true, R::kConvertVideo, false, U::kNever},
    {"WEBM", "M4V", 2, true, R::kConvertVideo, false, U::kNever},
    {"WMV", "M4V", 2, true, R::kConvertVideo, false, U::kNever},
    {"FLV", "M4V", 2, true, R::kConvertVideo, false, U::kNever},
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
