// Converts media the iPod cannot play into files it can, with the console
// program ffmpeg: audio of any format ffmpeg decodes into AAC or Apple
// Lossless in an MP4 audio file, video into H.264 Baseline with AAC in an MP4
// video file. Also the rule that tells which video streams the iPod plays.
#ifndef CADENZA_MEDIA_CONVERT_H_
#define CADENZA_MEDIA_CONVERT_H_

#include <string>
#include <string_view>

#include "cadenza/status.h"
#include "media/process.h"

namespace cadenza {

struct ConvertOptions {
  // Apple Lossless instead of AAC (audio only).
  bool lossless = false;
  // AAC bit rate in kb/s (ffmpeg's own "aac" encoder); audio only.
  int bitrate_kbps = 256;
  // Where ffmpeg is looked for first (then on PATH).
  std::string component_folder;
  // Called about every 40 ms while ffmpeg runs; false stops the conversion,
  // which then ends as Cancelled. May be empty.
  Tick tick;
};

// Converts the first audio stream of `source` (FLAC, Ogg Vorbis, Opus,
// WavPack, Monkey's Audio, WMA: whatever ffmpeg decodes) into an MP4 audio
// file `target` (.m4a):
//  - AAC-LC at options.bitrate_kbps, or with options.lossless Apple Lossless
//    of the source's bit depth (16 bits, or 24 for deeper sources);
//  - sample rates above 48000 Hz resampled to 48000 (the iPod plays neither
//    codec above that); more than two channels mixed down to stereo;
//  - the tags carried over, the track and disc numbers with their totals,
//    album artist, compilation flag and tempo included (Vorbis comments and
//    APE tags use other names for these than the MP4 atoms);
//  - a JPEG or PNG cover carried over as the file's artwork (other pictures
//    are dropped); the index placed at the start of the file.
// The file is written under a temporary name beside `target` (a hidden
// ".NAME.cadenza-...tmp", which fs::RemoveLeftoverTemps recognises) and
// renamed into place only when ffmpeg has finished without error; on any
// failure nothing is left at `target` and the temporary file is removed.
//
// Errors, each with a message for the user:
//   NotFound     the source is missing, or ffmpeg was not found
//   Unsupported  ffmpeg cannot read the source, or it holds no audio
//   Corrupt      the source could not be decoded (ffmpeg's last error line)
//   Invalid      a bit rate that is not positive
//   Cancelled    options.tick stopped the conversion
//   NoSpace / IOError   the target could not be written
Status ConvertAudio(const std::string& source, const std::string& target,
                    const ConvertOptions& options);

// Converts a video into H.264 Constrained Baseline level 3.0 (libx264,
// yuv420p) with AAC-LC stereo at 160 kb/s in an MP4 video file `target`
// (.m4v or .mp4): scaled down, when larger, to fit 640x480 with the display
// aspect ratio kept (square pixels, even dimensions), and at most 30 frames
// a second (a faster source keeps every second, third... frame). A source
// without sound gives a file without sound. options.lossless and
// options.bitrate_kbps are not used. The same temporary file, rename and
// error rules as ConvertAudio; Unsupported when the source holds no video.
Status ConvertVideo(const std::string& source, const std::string& target,
                    const ConvertOptions& options);

// Why an iPod cannot play a video stream with these properties, as a
// sentence for the user; empty when it can. `codec` is ffmpeg's lower-case
// codec name, `profile` and `level` its numbers (H.264: profile_idc, with
// Constrained Baseline as 66 plus ffmpeg's constraint flag 512; level 30 for
// 3.0). Played: "h264" Baseline up to level 3.0 and "mpeg4" (MPEG-4 Visual,
// profile not checked), both up to 640x480. A width or height of 0 or less
// counts as not known and is not checked.
std::string VideoRefusal(std::string_view codec, int profile, int level, int width, int height);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_CONVERT_H_
