#include "media/ffmpeg.h"

#include <algorithm>
#include <array>
#include <climits>
#include <filesystem>

#include "media/process.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {

namespace {

// Reports larger than this are read only this far (a report is a few
// kilobytes; this only bounds memory for a runaway analyser).
constexpr size_t kMaxReportBytes = 16u << 20;

constexpr const char kUnsupportedFormat[] = "Unsupported file format or the file is corrupted.";
constexpr const char kIncomplete[] = "File may be incomplete or corrupted.";

// Run-time errors of the report reading, numbered as the user is shown them.
Status SubscriptOutOfRange() { return Status::Corrupt("Subscript out of range", 9); }
Status InvalidCall() { return Status::Invalid("Invalid procedure call or argument", 5); }
Status TypeMismatch() { return Status::Invalid("Type mismatch", 13); }
Status Overflow() { return Status::Invalid("Overflow", 6); }

bool Contains(std::string_view s, std::string_view what) {
  return s.find(what) != std::string_view::npos;
}

size_t FindNoCase(std::string_view s, std::string_view what) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  auto it = std::search(s.begin(), s.end(), what.begin(), what.end(),
                        [&](char a, char b) { return lower(a) == lower(b); });
  return it == s.end() ? std::string_view::npos : static_cast<size_t>(it - s.begin());
}

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A whole decimal number that fits 32 bits (blanks around it allowed).
Status ParseInt32(std::string_view text, int32_t* out) {
  text = TrimView(text);
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return TypeMismatch();
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return TypeMismatch();
    v = v * 10 + (c - '0');
    if (v > int64_t{INT32_MAX} + 1) return Overflow();
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return Overflow();
  *out = static_cast<int32_t>(v);
  return Status::OK();
}

std::vector<std::string_view> SplitAt(std::string_view s, std::string_view sep) {
  std::vector<std::string_view> pieces;
  for (;;) {
    size_t p = s.find(sep);
    if (p == std::string_view::npos) {
      pieces.push_back(s);
      return pieces;
    }
    pieces.push_back(s.substr(0, p));
    s.remove_prefix(p + sep.size());
  }
}

// The codec's name: the first word of what ffmpeg writes for a stream's
// codec ("h264 (High) (avc1 / 0x31637661)" gives "h264").
std::string_view CodecName(std::string_view codec) {
  codec = TrimView(codec);
  size_t end = codec.find_first_of(" (");
  return end == std::string_view::npos ? codec : codec.substr(0, end);
}

// The extension of the last path component, without the dot; empty when
// it has none.
std::string ExtensionOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string_view name(path);
  if (slash != std::string::npos) name.remove_prefix(slash + 1);
  size_t dot = name.find_last_of('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot + 1));
}

// A file in the temporary folder that belongs to one call and is deleted
// when the call ends.
class TempReport {
 public:
  explicit TempReport(const char* stem) {
    if (!fs::CreateTempFile(stem, &path_).ok()) path_.clear();
  }
  ~TempReport() {
    if (!path_.empty()) DeleteFileIfExists(path_);
  }
  TempReport(const TempReport&) = delete;
  TempReport& operator=(const TempReport&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Status ReadReport(const std::string& path, std::string* text) {
  RandomAccessFile f;
  if (!f.Open(path)) return Status::NotFound("File not found", 53);
  size_t want = static_cast<size_t>(std::min<int64_t>(f.size(), kMaxReportBytes));
  *text = f.ReadAt(0, want);
  if (text->size() != want) return Status::IOError("Input past end of file", 62);
  return Status::OK();
}

// The path as handed to the analysers: a relative path gets "./" in front,
// so that a name such as "http:x.mp4" is read as a file, never as a URL.
std::string AnalyserArgument(const std::string& path) {
  return fs::IsAbsolutePath(path) ? path : "./" + path;
}

// An audio or video stream line: "Stream #0:1[0x2](und): Audio: aac ...".
// Metadata values are never taken for one, whatever text they hold.
bool IsStreamLine(std::string_view line) {
  return TrimView(line).substr(0, 8) == "Stream #";
}

void ReadAudioLine(std::string_view rest, TrackInfo& info, AnalyserReport& out) {
  std::vector<std::string_view> pieces = SplitAt(rest, ", ");
  info.sAudioCodec = std::string(pieces[0]);
  if (pieces.size() < 2) {
    out.faults.push_back(SubscriptOutOfRange());
    return;
  }
  // "44100 Hz": the number in front of the unit.
  std::string_view rate = pieces[1];
  if (rate.size() < 3) {
    out.faults.push_back(InvalidCall());
    return;
  }
  int32_t hz = 0;
  Status s = ParseInt32(rate.substr(0, rate.size() - 3), &hz);
  if (!s.ok()) {
    out.faults.push_back(s);
    return;
  }
  out.sample_rate = hz;
}

// The "bitrate: 59 kb/s" part of the duration line.
void ReadBitrate(std::string_view line, int32_t& last_bitrate, TrackInfo& info,
                 AnalyserReport& out) {
  constexpr std::string_view kKey = "bitrate: ";
  size_t at = FindNoCase(line, kKey);
  if (at == std::string_view::npos) return;
  size_t start = at + kKey.size();
  size_t slash = line.find("/s", start);
  if (slash == std::string_view::npos) {
    info.iBitrateInKbs = last_bitrate;  // "bitrate: N/A"
    return;
  }
  if (slash < start + 3) {
    out.faults.push_back(InvalidCall());
    return;
  }
  int32_t kbs = 0;
  Status s = ParseInt32(line.substr(start, slash - 3 - start), &kbs);
  if (!s.ok()) {
    out.faults.push_back(s);
    return;
  }
  info.iBitrateInKbs = kbs;
  last_bitrate = kbs;
}

}  // namespace

std::optional<int64_t> ParseDurationMs(std::string_view text) {
  text = TrimView(text);
  if (text == "N/A") return 0;
  // hh:mm:ss.ff; the hours may have more digits for very long files.
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 6) return std::nullopt;
  std::string_view tail = text.substr(colon);
  if (tail.size() < 8 || tail[0] != ':' || tail[3] != ':' || tail[6] != '.') return std::nullopt;
  auto digits = [](std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  auto value = [](std::string_view s) {
    int64_t v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
  };
  std::string_view hours = text.substr(0, colon), minutes = tail.substr(1, 2),
                   seconds = tail.substr(4, 2), fraction = tail.substr(7);
  if (!digits(hours) || !digits(minutes) || !digits(seconds) || !digits(fraction))
    return std::nullopt;
  int64_t tenths = fraction[0] - '0';
  return ((value(hours) * 60 + value(minutes)) * 60 + value(seconds)) * 1000 + tenths * 100;
}

std::optional<float> ParseDuration(std::string_view text) {
  std::optional<int64_t> ms = ParseDurationMs(text);
  if (!ms) return std::nullopt;
  return static_cast<float>(static_cast<double>(*ms) / 1000.0);
}

AnalyserReport ReadAnalyserReport(std::string_view report, std::string_view media_path,
                                  TrackInfo& info) {
  AnalyserReport out;
  int64_t duration_ms = 0;  // every report starts without a duration
  int32_t last_bitrate = 0;
  bool have_duration = false;
  const std::string open_error = media_path.empty() ? std::string() : std::string(media_path) + ": ";

  bool first = true;
  while (!report.empty()) {
    size_t nl = report.find('\n');
    std::string_view line = report.substr(0, nl);
    report.remove_prefix(nl == std::string_view::npos ? report.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // The first line is the command line that produced the report.
    if (first) {
      first = false;
      continue;
    }

    // ffmpeg's ways of saying it cannot read the input: "Unknown format" and
    // "could not find codec parameters" from older versions, "Could not find
    // codec parameters for stream ..." and "<path>: Invalid data found when
    // processing input" (or another reason after the path, such as
    // "Permission denied") from current ones.
    if (Contains(line, "could not find codec parameters") ||
        Contains(line, "Could not find codec parameters") || Contains(line, "Unknown format") ||
        Contains(line, "Invalid data found when processing input") ||
        (!open_error.empty() && line.substr(0, open_error.size()) == open_error)) {
      out.format_error = true;
      out.error = kUnsupportedFormat;
      break;
    }
    if (!line.empty() && line.front() == '[') continue;  // "[aac @ 0x...] ..." notices

    if (IsStreamLine(line)) {
      constexpr std::string_view kAudio = "Audio: ", kVideo = "Video: ";
      if (size_t a = line.find(kAudio); a != std::string_view::npos) {
        ReadAudioLine(line.substr(a + kAudio.size()), info, out);
      } else if (size_t v = line.find(kVideo); v != std::string_view::npos) {
        info.sVideoCodec = std::string(SplitAt(line.substr(v + kVideo.size()), ", ")[0]);
      }
    }

    // "  Duration: 00:00:01.00, start: 0.000000, bitrate: 59 kb/s"
    constexpr std::string_view kDuration = "  Duration: ";
    if (line.substr(0, kDuration.size()) == kDuration) {
      have_duration = true;
      std::string_view rest = line.substr(kDuration.size());
      std::optional<int64_t> ms = ParseDurationMs(rest.substr(0, rest.find(',')));
      if (!ms) {
        out.faults.push_back(TypeMismatch());
      } else if (*ms > INT32_MAX) {
        out.faults.push_back(Overflow());
      } else {
        duration_ms = *ms;
      }
      info.iTrackTimLength = static_cast<int32_t>(duration_ms);
      if (duration_ms == 0) {
        out.format_error = true;
        out.error = kIncomplete;
        break;
      }
      ReadBitrate(line, last_bitrate, info, out);
    }
  }
  // A report without any duration (the analyser stopped early) describes no
  // playable file either.
  if (!out.format_error && !have_duration) {
    out.format_error = true;
    out.error = kIncomplete;
  }
  return out;
}

std::string AnalysisErrorMessage(const Status& error) {
  return std::string(kAnalysisErrorText) + "\r\n" + std::to_string(error.number()) + ":" +
         error.message();
}

void ApplySupportRule(const MediaKind* kind, TrackInfo& info) {
  if (!kind || kind->reader != MediaReader::kAnalyser) return;
  if (!kind->codecs_checked) {
    info.isFileSupported = true;
    return;
  }
  std::string video = AsciiUpper(CodecName(info.sVideoCodec));
  bool aac = Contains(AsciiLower(CodecName(info.sAudioCodec)), "aac");
  if ((video == "H264" || video == "MPEG4") && aac) info.isFileSupported = true;
}

std::string FindAnalyserProgram(const std::string& name, const std::string& component_folder) {
#ifdef _WIN32
  // Windows programs carry ".exe": "<component folder>\ffmpeg.exe".
  const std::string file = name + ".exe";
#else
  const std::string& file = name;
#endif
  std::string in_folder;
  if (!component_folder.empty()) {
    in_folder = component_folder;
    if (in_folder.back() != '/' && in_folder.back() != fs::kSeparator) in_folder += fs::kSeparator;
    in_folder += file;
    if (fs::IsExecutableFile(in_folder)) return in_folder;
  }
  for (const std::string& dir : fs::ProgramSearchFolders()) {
    std::string candidate = dir;
    candidate += fs::kSeparator;
    candidate += file;
    if (fs::IsExecutableFile(candidate)) return candidate;
  }
  return in_folder.empty() ? file : in_folder;
}

Status RunMPEGProgramAnalyser(const std::string& path, const MediaOptions& options) {
  TempReport report("mpgtx");
  if (!report.ok()) return Status::IOError("Path/File access error", 75);
  std::string program = FindAnalyserProgram("mpgtx", options.component_folder);
  std::string arg = AnalyserArgument(path);
  Status s = RunPipedProcess(program + " -i \"" + arg + "\"", {program, "-i", arg},
                             report.path(), "", options.tick);
  if (!s.ok()) return s;
  // Aspect ratio, frame rate, bit rates and interlacing in this report feed
  // no field of the track description; reading it only proves it was made.
  std::string text;
  return ReadReport(report.path(), &text);
}

Status AnalyseMediaFile(const std::string& path, TrackInfo& info, const MediaOptions& options,
                        std::vector<Status>* errors) {
  Status undescribed = Status::Unsupported("The analyser could not describe " + path);
  auto show = [&](const Status& s) { errors->push_back(s); };
  auto fail = [&](const Status& s) {
    if (s.code() == Status::Code::kCancelled) return s;
    show(s);
    return undescribed;
  };
  // Nothing to analyse; also keeps ffmpeg away from pipes and devices, on
  // which it would wait for ever.
  if (!fs::FileExists(path)) return undescribed;

  TempReport report("analyse");
  if (!report.ok()) return fail(Status::IOError("Path/File access error", 75));
  const std::string program = FindAnalyserProgram("ffmpeg", options.component_folder);
  const std::string arg = AnalyserArgument(path);
  Status s = RunPipedProcess(program + " -i \"" + arg + "\" -analyzeduration 30000",
                             {program, "-i", arg, "-analyzeduration", "30000"}, report.path(),
                             "", options.tick);
  std::string text;
  if (s.ok()) s = ReadReport(report.path(), &text);
  if (!s.ok()) return fail(s);
  if (text.empty()) return undescribed;

  AnalyserReport read = ReadAnalyserReport(text, arg, info);
  for (const Status& fault : read.faults) show(fault);
  if (read.format_error) return undescribed;

  static constexpr std::array<std::string_view, 7> kProgramStreams = {
      "vob", "mpg", "mpeg", "m2p", "mpv", "m1v", "m2v"};
  const std::string lower_ext = AsciiLower(ExtensionOf(path));
  if (std::find(kProgramStreams.begin(), kProgramStreams.end(), lower_ext) !=
      kProgramStreams.end()) {
    s = RunMPEGProgramAnalyser(path, options);
    if (s.code() == Status::Code::kCancelled) return s;
    if (!s.ok()) show(s);
  }

  info.iSampleRateInHz = read.sample_rate;
  ApplySupportRule(FindMediaKind(path), info);

  int32_t low = 0, high = 0;
  int64_t size = GetFileSize64(path, low, high);
  if (size < 0) return fail(Status::NotFound("File not found", 53));
  if (size > INT32_MAX) {
    // The track size field holds 32 bits: such a file cannot be described,
    // so it must not be taken onto the device with a wrong size.
    info.isFileSupported = false;
    return fail(Overflow());
  }
  info.iFileSize = static_cast<int32_t>(size);
  return Status::OK();
}

}  // namespace cadenza
