// DescribeMediaFile: everything the system learns about a media file before
// it becomes a track - its tags, its kind, and its stream parameters from the
// reader of that kind.
#ifndef CADENZA_MEDIA_DESCRIBE_H_
#define CADENZA_MEDIA_DESCRIBE_H_

#include <string>
#include <vector>

#include "cadenza/records.h"
#include "cadenza/status.h"
#include "cadenza/tags.h"
#include "media/ffmpeg.h"  // MediaOptions

namespace cadenza {

// Describes the file at `path` in `info`: title, artist, album, year, genre
// and comment from its ID3 tags (version 2 over version 1; the title falls
// back to the file name), composer from version 2, then the file type, media
// type, movie flag, stream parameters and isFileSupported as its kind
// (media/media_kind.h) and that kind's reader give them. Fields it has no
// value for are left alone.
//
// Returns
//   NotFound or IOError  the file cannot be looked up (isFileSupported false)
//   Invalid              it is not a regular file (isFileSupported false);
//                        nothing is read in either case
//   Unsupported          an unknown kind, or a stream its reader refuses
//   Cancelled            options.tick cancelled the analyser
//   OK                   otherwise; isFileSupported tells whether the
//                        device takes the file.
// Failures of the external analyser that the user is to be told about (each
// as AnalysisErrorMessage) are appended to `analyser_errors` (may be null)
// in order, whatever the returned status.
Status DescribeMediaFile(const std::string& path, const MediaOptions& options,
                         TrackInfo* info, std::vector<Status>* analyser_errors);

// What a description learns beyond TrackInfo.
struct MediaFacts {
  Tags tags;             // every tag the file's metadata holds
  // The iPod cannot play the file as it is: its audio is converted to MP4
  // audio, or (on request) its video to an iPod-sized H.264 file.
  bool convert_audio = false;
  bool convert_video = false;
  // Whether to look at the video stream of an MP4-family file beyond the
  // analyser's codec rule (its profile, level and frame size).
  bool check_video = true;
  // Why the iPod cannot play the file's video, empty when it can.
  std::string video_refusal;
};

// DescribeMediaFile, also filling `facts` (may be null). Files that need a
// conversion are Unsupported (with the reason) and marked in `facts`; MP4
// audio (.m4a, .m4b) is described by our own reader, tags included;
// protected files (.m4p, or encrypted MP4 streams) are Unsupported.
Status DescribeMediaFile(const std::string& path, const MediaOptions& options, TrackInfo* info,
                         std::vector<Status>* analyser_errors, MediaFacts* facts);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_DESCRIBE_H_
