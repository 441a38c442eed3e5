// Describes video files and the audio formats the core does not decode itself
// with the help of the console program ffmpeg (and, for MPEG program streams,
// mpgtx): it runs the program on the file, reads its text report and fills
// the stream fields of a TrackInfo.
#ifndef CADENZA_MEDIA_FFMPEG_H_
#define CADENZA_MEDIA_FFMPEG_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cadenza/records.h"
#include "cadenza/status.h"
#include "media/media_kind.h"
#include "media/process.h"

namespace cadenza {

// Title line of the message box that reports a failure of the analysis.
inline constexpr const char kAnalysisErrorText[] = "Error occured while parsing media file";

// The text of that message box for `error`: the title line, CR LF, the
// error number, ":" and the error description.
std::string AnalysisErrorMessage(const Status& error);

// How media files are read.
struct MediaOptions {
  // Where ffmpeg and mpgtx are looked for first (then on PATH).
  std::string component_folder;
  // Called while an external analyser runs; returns false to cancel it.
  Tick tick;
};

// Fills sAudioCodec, sVideoCodec, iTrackTimLength, iBitrateInKbs,
// iSampleRateInHz, isFileSupported and iFileSize of `info` from the ffmpeg
// report on the file at `path`; other fields are left alone.
//
// Each call writes its reports to private temporary files, deleted after
// reading, so that analyses can run side by side.
//
// Returns Unsupported ("The analyser could not describe <path>") when ffmpeg
// reports a format error, the duration is zero or unknown, the file does not
// exist, or the report could not be made or read; fields set before that
// keep their new values. Cancelled when options.tick cancelled a run.
// Failures the user is to be told about (each as AnalysisErrorMessage) are
// appended to `errors` in the order they happened: a run or report that
// failed, a report line that could not be read, a file too large to
// describe. The analysis goes on where it can.
Status AnalyseMediaFile(const std::string& path, TrackInfo& info, const MediaOptions& options,
                        std::vector<Status>* errors);

// Runs mpgtx on an MPEG program stream, reads its report and deletes it. The
// report feeds no field; only a failure of the run is visible.
Status RunMPEGProgramAnalyser(const std::string& path, const MediaOptions& options);

// Reads a duration as ffmpeg writes it, hh:mm:ss.ff, in seconds. Only the
// tenths of the fraction count: "00:03:25.40" gives 205.4. "N/A" gives 0.
// Other text gives nullopt.
std::optional<float> ParseDuration(std::string_view text);

// The same in whole milliseconds, exact ("00:03:25.40" gives 205400).
std::optional<int64_t> ParseDurationMs(std::string_view text);

// What reading one ffmpeg report found besides the TrackInfo fields.
struct AnalyserReport {
  // A format error: ffmpeg could not read the input or the duration is zero.
  // Reading stopped at that line; `error` is the noted text.
  bool format_error = false;
  std::string error;
  // Sample rate in Hz of the last audio stream line (0 without one).
  int32_t sample_rate = 0;
  // Lines that could not be read as expected (a missing piece, a number that
  // does not parse); each is shown as an analysis error and reading goes on.
  std::vector<Status> faults;
};

// Reads the text of an ffmpeg report (its first line, the command line, is
// skipped) into sAudioCodec, sVideoCodec, iTrackTimLength and iBitrateInKbs
// of `info`. `media_path` is the path as given to ffmpeg, so that its error
// line for an input it cannot open ("<path>: <reason>") is recognised; it
// may be empty.
AnalyserReport ReadAnalyserReport(std::string_view report, std::string_view media_path,
                                  TrackInfo& info);

// Sets isFileSupported to true when the device takes a file of `kind`:
// always, or for a kind whose codecs are checked, when the video codec's name
// is h264 or mpeg4 and the audio codec's name contains aac. Otherwise (and
// for no kind) the field keeps its value.
void ApplySupportRule(const MediaKind* kind, TrackInfo& info);

// The program to run for `name` ("ffmpeg", "mpgtx"): the executable file of
// that name in `component_folder` when there is one, else the first on PATH,
// else the component folder's path (whose start then fails with 12003).
std::string FindAnalyserProgram(const std::string& name, const std::string& component_folder);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_FFMPEG_H_
