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

#include "cadenza/host.h"
#include "cadenza/records.h"
#include "cadenza/status.h"

namespace cadenza {

// Title line of the message box that reports a failure of the analysis; the
// box shows it, CR LF, the error number, ":" and the error description.
inline constexpr const char kAnalysisErrorText[] = "Error occured while parsing media file";

// Fills sAudioCodec, sVideoCodec, iTrackTimLength, iBitrateInKbs,
// iSampleRateInHz, isFileSupported and iFileSize of `info` from the ffmpeg
// report on the file at `path`; other fields are left alone.
//
// ffmpeg and mpgtx are looked for in `component_folder` first, then on PATH.
// Each call writes its reports to private temporary files, deleted after
// reading, so that analyses can run side by side.
//
// Returns false when ffmpeg reports a format error, the duration is zero or
// unknown, the file does not exist, or the report could not be made or read;
// fields set before that keep their new values. Failures of the run itself
// and bad report lines are shown through `host` (critical icon, OK) and the
// analysis goes on where it can.
bool AnalyseMediaFile(const std::string& path, TrackInfo& info, Host& host,
                      const std::string& component_folder);

// Runs mpgtx on an MPEG program stream, reads its report and deletes it. The
// report feeds no field; only a failure of the run is visible.
Status RunMPEGProgramAnalyser(const std::string& path, Host& host,
                              const std::string& component_folder);

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

// Sets isFileSupported to true when the device takes the file: extensions
// MP3, AAC, WAV and AIFF always; MP2, MP4, MPEG, MPG, MPEG4, M4V and MOV when
// the video codec's name is h264 or mpeg4 and the audio codec's name contains
// aac. Otherwise the field keeps its value. `upper_ext` is the extension in
// upper case.
void ApplySupportRule(std::string_view upper_ext, TrackInfo& info);

// The program to run for `name` ("ffmpeg", "mpgtx"): the executable file of
// that name in `component_folder` when there is one, else the first on PATH,
// else the component folder's path (whose start then fails with 12003).
std::string FindAnalyserProgram(const std::string& name, const std::string& component_folder);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_FFMPEG_H_
