// The kinds of media file the device plays, by file extension: what a track
// of each kind records and which reader describes it. Every part of the
// system that asks "is this a file the iPod plays?" asks this table.
#ifndef CADENZA_MEDIA_MEDIA_KIND_H_
#define CADENZA_MEDIA_MEDIA_KIND_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace cadenza {

// What reads a kind's stream parameters.
enum class MediaReader {
  kMPEGAudio,  // MPEG audio frames (media/mpeg_audio.h)
  kWave,       // a WAVE file; MPEG audio inside one is read as MPEG audio
  kAiff,       // an AIFF or AIFF-C file
  kAnalyser,   // the external analyser (media/ffmpeg.h)
  kMP4,        // an MP4 audio file (media/mp4.h): AAC or Apple Lossless
  kProtected,  // a file sold with copy protection: never taken
  kConvertAudio,  // audio the iPod cannot play: converted on import
  kConvertVideo,  // video in a container the iPod cannot play: converted on request
};

// Whether a rebuild of the database enters files of a kind it finds on the
// device.
enum class RebuildUse { kNever, kAlways, kNotOnShuffle };

struct MediaKind {
  std::string_view extension;  // upper case, without the dot
  std::string_view file_type;  // the track's file type text
  int32_t media_type;          // the track's media type: 1 audio, 2 video, 8 audiobook
  bool movie;                  // the track is marked as a movie
  MediaReader reader;
  // Taken only when the analyser finds H.264 or MPEG-4 video with AAC audio.
  bool codecs_checked;
  RebuildUse rebuild;
};

// The extension of the last component of `path`, in upper case and without
// the dot, as std::filesystem::path::extension() sees it (".profile" has
// none).
std::string UpperExtension(const std::string& path);

// The kind of the file at `path` by its extension (in any case); nullptr for
// a kind the device does not play.
const MediaKind* FindMediaKind(const std::string& path);

// Whether a rebuild enters the file at `path` found on a device that is (or
// is not) a shuffle.
bool TakenByRebuild(const std::string& path, bool shuffle);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_MEDIA_KIND_H_
