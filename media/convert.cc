#include "media/convert.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <system_error>
#include <vector>

#include "media/ffmpeg.h"
#include "media/process.h"
#include "platform/fs.h"
#include "platform/random.h"
#include "platform/text.h"

namespace cadenza {

namespace {

// More than any report of one conversion holds (progress comes every 5 s).
constexpr size_t kMaxReportBytes = 64u << 20;

// The iPod's limits for the files made here.
constexpr int kMaxSampleRate = 48000;
constexpr int kMaxWidth = 640;
constexpr int kMaxHeight = 480;
constexpr double kMaxFrameRate = 30;

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The pieces of a stream description split at ", ", but not inside
// parentheses or brackets: "yuv420p(tv, bt709)" stays one piece.
std::vector<std::string_view> SplitPieces(std::string_view s) {
  std::vector<std::string_view> out;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '(' || s[i] == '[') ++depth;
    if ((s[i] == ')' || s[i] == ']') && depth > 0) --depth;
    if (depth == 0 && s[i] == ',' && i + 1 < s.size() && s[i + 1] == ' ') {
      out.push_back(s.substr(start, i - start));
      start = i + 2;
    }
  }
  out.push_back(s.substr(start));
  return out;
}

// The leading decimal number of `s` ("44100 Hz", "29.97 fps", "1k fps"),
// or 0.
double LeadingNumber(std::string_view s) {
  std::string text(Trim(s));
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !std::isfinite(v)) return 0;
  if (*end == 'k') v *= 1000;
  return v;
}

// What ffmpeg's description of the source ("ffmpeg -i SOURCE") tells.
struct SourceInfo {
  bool opened = false;  // the input was read ("Input #0, ...")
  std::string failure;  // otherwise ffmpeg's last line
  int audio_index = -1;  // first audio stream
  int sample_rate = 0;
  int channels = 0;   // 3 stands for any layout of more than two
  int bits = 0;       // bits per sample; 0 when not known (lossy, float)
  int video_index = -1;  // first video stream that is not a picture
  double frame_rate = 0;
  int cover_index = -1;  // first attached JPEG or PNG picture
  // Tags of the file and of its first audio stream (Ogg keeps them there),
  // keys in lower case; the file's own win.
  std::map<std::string, std::string> tags;
};

int ChannelCount(std::string_view layout) {
  if (layout == "mono") return 1;
  if (layout == "stereo" || layout == "downmix") return 2;
  int n = static_cast<int>(LeadingNumber(layout));  // "6 channels"
  return n > 0 && n <= 2 ? n : 3;
}

void ReadAudioStream(int index, std::string_view desc, SourceInfo& info) {
  if (info.audio_index >= 0) return;
  info.audio_index = index;
  std::vector<std::string_view> pieces = SplitPieces(desc);
  if (pieces.size() > 1) info.sample_rate = static_cast<int>(LeadingNumber(pieces[1]));
  if (pieces.size() > 2) info.channels = ChannelCount(Trim(pieces[2]));
  if (pieces.size() > 3) {
    std::string_view format = Trim(pieces[3]);
    size_t open = format.find('(');  // "s32 (24 bit)"
    if (open != std::string_view::npos) {
      info.bits = static_cast<int>(LeadingNumber(format.substr(open + 1)));
    } else if (StartsWith(format, "s16") || StartsWith(format, "u8")) {
      info.bits = 16;
    } else if (StartsWith(format, "s32") || StartsWith(format, "s64")) {
      info.bits = 32;
    }
  }
}

void ReadVideoStream(int index, std::string_view desc, bool picture, SourceInfo& info) {
  std::vector<std::string_view> pieces = SplitPieces(desc);
  std::string_view codec = pieces[0].substr(0, pieces[0].find(' '));
  if (picture) {
    if (info.cover_index < 0 && (codec == "mjpeg" || codec == "png")) info.cover_index = index;
    return;
  }
  if (info.video_index >= 0) return;
  info.video_index = index;
  for (std::string_view piece : pieces) {
    piece = Trim(piece);
    if (piece.size() > 4 && piece.substr(piece.size() - 4) == " fps") {
      info.frame_rate = LeadingNumber(piece);
    }
  }
}

// Reads the report of "ffmpeg -i SOURCE" up to the first output section.
SourceInfo ReadSourceReport(std::string_view report) {
  SourceInfo info;
  std::map<std::string, std::string> file_tags, audio_tags, other_tags;
  std::map<std::string, std::string>* block = nullptr;  // the Metadata: block being read
  size_t block_indent = 0;
  int stream_index = -1;  // -1 while in the file's own lines, -2 in a chapter
  bool stream_is_audio = false;
  std::vector<std::string_view> lines = Lines(report);
  for (size_t n = 1; n < lines.size(); ++n) {  // line 0 is the command line
    std::string_view raw = lines[n];
    std::string_view line = Trim(raw);
    if (line.empty()) continue;
    info.failure = std::string(line);
    if (StartsWith(line, "Output #")) break;
    if (StartsWith(line, "Input #")) {
      if (info.opened) break;  // one input only
      info.opened = true;
      continue;
    }
    if (!info.opened) continue;
    const size_t indent = raw.find_first_not_of(" \t");
    if (block && indent > block_indent) {
      size_t colon = line.find(": ");
      std::string key = AsciiLower(Trim(line.substr(0, colon)));
      if (colon != std::string_view::npos && !key.empty()) {
        block->emplace(std::move(key), std::string(Trim(line.substr(colon + 2))));
      }
      continue;
    }
    block = nullptr;
    if (line == "Metadata:") {
      if (stream_index == -1) {
        block = &file_tags;
      } else if (stream_is_audio && stream_index == info.audio_index) {
        block = &audio_tags;
      }
      if (!block) block = &other_tags;  // of another stream or a chapter
      block_indent = indent;
      continue;
    }
    if (StartsWith(line, "Chapter #")) stream_index = -2;
    if (!StartsWith(line, "Stream #")) continue;
    // "Stream #0:1[0x2](und): Video: h264 (High) (avc1 / 0x31637661), ..."
    size_t colon = line.find(':');
    stream_index = static_cast<int>(LeadingNumber(line.substr(colon + 1)));
    stream_is_audio = false;
    size_t kind;
    if ((kind = line.find(": Audio: ")) != std::string_view::npos) {
      stream_is_audio = true;
      ReadAudioStream(stream_index, line.substr(kind + 9), info);
    } else if ((kind = line.find(": Video: ")) != std::string_view::npos) {
      bool picture = line.find("(attached pic)") != std::string_view::npos;
      ReadVideoStream(stream_index, line.substr(kind + 9), picture, info);
    }
  }
  info.tags = std::move(file_tags);
  info.tags.merge(audio_tags);  // keeps the file's value of a key both have
  return info;
}

std::string TagValue(const SourceInfo& info, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    auto it = info.tags.find(key);
    if (it != info.tags.end() && !it->second.empty()) return it->second;
  }
  return "";
}

// "-metadata" options that give the MP4 muxer the atoms it writes from
// other names: trkn and disk with their totals, aART, cpil and tmpo.
std::vector<std::string> TagArguments(const SourceInfo& info) {
  std::vector<std::string> out;
  auto add = [&out](const std::string& key, const std::string& value) {
    out.push_back("-metadata");
    out.push_back(key + "=" + value);
  };
  auto numbered = [&](const char* key, std::initializer_list<const char*> numbers,
                      std::initializer_list<const char*> totals) {
    std::string number = TagValue(info, numbers);
    std::string total = TagValue(info, totals);
    if (number.empty() || number.find('/') != std::string::npos) return;
    add(key, total.empty() ? number : number + "/" + total);
  };
  numbered("track", {"track", "tracknumber"}, {"tracktotal", "totaltracks", "track total"});
  numbered("disc", {"disc", "discnumber"}, {"disctotal", "totaldiscs", "disc total"});
  if (TagValue(info, {"album_artist"}).empty()) {
    std::string artist = TagValue(info, {"albumartist", "album artist", "wm/albumartist"});
    if (!artist.empty()) add("album_artist", artist);
  }
  std::string compilation = AsciiLower(TagValue(info, {"compilation", "tcmp", "cpil"}));
  if (compilation == "1" || compilation == "true" || compilation == "yes") {
    add("compilation", "1");
  }
  const double bpm = LeadingNumber(TagValue(info, {"bpm", "tbpm", "tmpo", "wm/beatsperminute"}));
  if (bpm >= 1 && bpm < 65536) add("tmpo", std::to_string(std::lround(bpm)));
  return out;
}

// A path as handed to ffmpeg: a relative one gets "./" in front, so that a
// name such as "http:x.flac" is read as a file, never as a URL.
std::string PathArgument(const std::string& path) {
  return fs::IsAbsolutePath(path) ? path : "./" + path;
}

// The text form of a command, for the first line of its report.
std::string CommandLine(const std::vector<std::string>& argv) {
  std::string out;
  for (const std::string& a : argv) {
    if (!out.empty()) out += ' ';
    out += a.find(' ') == std::string::npos ? a : "\"" + a + "\"";
  }
  return out;
}

// A report file in the temporary folder, deleted with the object.
class TempReport {
 public:
  TempReport() {
    if (!fs::CreateTempFile("convert", &path_).ok()) path_.clear();
  }
  ~TempReport() {
    if (!path_.empty()) DeleteFileIfExists(path_);
  }
  TempReport(const TempReport&) = delete;
  TempReport& operator=(const TempReport&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Status NotFoundFfmpeg(const std::string& component_folder) {
  std::string where = component_folder.empty() ? "" : component_folder + " or ";
  return Status::NotFound("ffmpeg was not found; put the ffmpeg program in " + where +
                          "a folder on the PATH");
}

// Runs ffmpeg with `args` and returns its report in `text`.
Status RunFfmpeg(const std::string& program, std::vector<std::string> args,
                 const ConvertOptions& options, std::string* text) {
  TempReport report;
  if (report.path().empty()) return Status::IOError("no temporary file could be made");
  args.insert(args.begin(), program);
  Status s = RunPipedProcess(CommandLine(args), args, report.path(), "", options.tick);
  if (s.number() == kErrCreateProcess) return NotFoundFfmpeg(options.component_folder);
  if (s.code() == Status::Code::kCancelled) return Status::Cancelled("the conversion was cancelled");
  if (!s.ok()) return s;
  s = fs::ReadFileUpTo(report.path(), kMaxReportBytes, text);
  if (!s.ok()) return Status::IOError("the report of ffmpeg could not be read: " + s.message());
  return Status::OK();
}

// ffmpeg's line without the address of its context:
// "[flac @ 0x55d0c1e0] invalid residual" gives "[flac] invalid residual".
std::string CleanErrorLine(std::string_view line) {
  std::string out(line);
  size_t at = out.find(" @ 0x");
  size_t close = at == std::string::npos ? at : out.find(']', at);
  if (!out.empty() && out.front() == '[' && close != std::string::npos) out.erase(at, close - at);
  return out;
}

// Runs the conversion and judges it by its report: "-progress" writes
// "progress=end" once ffmpeg has finished, and with "-v error" every other
// line that is not a progress line is an error.
Status RunConversion(const std::string& program, const std::vector<std::string>& args,
                     const std::string& output, const ConvertOptions& options) {
  std::string text;
  Status s = RunFfmpeg(program, args, options, &text);
  if (!s.ok()) return s;
  bool ended = false;
  std::string error;
  std::vector<std::string_view> lines = Lines(text);
  for (size_t n = 1; n < lines.size(); ++n) {
    std::string_view line = Trim(lines[n]);
    size_t key_end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_");
    if (key_end != std::string_view::npos && key_end > 0 && line[key_end] == '=') {
      if (line == "progress=end") ended = true;
    } else if (!line.empty() && (error.empty() || error.front() != '[' || line.front() == '[')) {
      // The last line of a decoder, demuxer or muxer ("[flac @ 0x...] ...")
      // says more than ffmpeg's own closing lines after it.
      error = CleanErrorLine(line);
    }
  }
  if (!error.empty()) {
    if (error.find("No space left") != std::string::npos) {
      return Status::NoSpace("the disk is full: " + error);
    }
    if (error.find("Permission denied") != std::string::npos ||
        error.find(output) != std::string::npos) {
      return Status::IOError("the converted file could not be written: " + error);
    }
    return Status::Corrupt("the file could not be decoded: " + error);
  }
  if (!ended || fs::FileSize(output) <= 0) {
    return Status::IOError("ffmpeg stopped before the conversion was complete");
  }
  return Status::OK();
}

// A hidden name beside `target` for the file being written, in the form
// fs::LeftoverTemps looks for.
std::string TempTargetName(const std::string& target) {
  static std::atomic<uint64_t> counter{0};
  Random random;
  random.SeedFromClock();
  const std::string unique =
      std::to_string(static_cast<uint64_t>(random.Next() * 9007199254740992.0)) + "-" +
      std::to_string(counter.fetch_add(1));
  std::string folder = fs::ParentFolder(target);
  std::string name = "." + fs::FileName(target) + ".cadenza-" + unique + ".tmp";
  return folder.empty() ? name : folder + fs::kSeparator + name;
}

// The command that converts, up to the output; Convert adds the output.
using BuildArgs = std::vector<std::string> (*)(const std::string& input, const SourceInfo& info,
                                               const ConvertOptions& options);

Status Convert(const std::string& source, const std::string& target, const ConvertOptions& options,
               bool video, BuildArgs build) {
  if (!fs::FileExists(source)) return Status::NotFound("the file was not found: " + source);
  const std::string program = FindAnalyserProgram("ffmpeg", options.component_folder);
  if (!fs::IsExecutableFile(program)) return NotFoundFfmpeg(options.component_folder);

  const std::string input = PathArgument(source);
  std::string text;
  Status s = RunFfmpeg(program, {"-hide_banner", "-nostdin", "-i", input}, options, &text);
  if (!s.ok()) return s;
  SourceInfo info = ReadSourceReport(text);
  if (!info.opened) {
    return Status::Unsupported("ffmpeg cannot read the file: " + CleanErrorLine(info.failure));
  }
  if (video && info.video_index < 0) return Status::Unsupported("the file holds no video");
  if (!video && info.audio_index < 0) return Status::Unsupported("the file holds no audio");
  if (!video && info.sample_rate <= 0) {
    // ffmpeg chose a demuxer by the extension but found no audio it knows.
    return Status::Corrupt("the file could not be decoded: its audio format is not recognised");
  }

  const std::string temp = TempTargetName(target);
  std::vector<std::string> args = build(input, info, options);
  std::string ext = AsciiLower(UpperExtension(target));
  args.insert(args.end(), {"-movflags", "+faststart", "-f", video && ext == "mp4" ? "mp4" : "ipod",
                           PathArgument(temp), "-nostats", "-progress", "pipe:1",
                           "-stats_period", "5"});
  s = RunConversion(program, args, temp, options);
  if (s.ok()) {
    if (Status r = fs::RenameFile(temp, target); !r.ok())
      s = Status::IOError("the converted file could not be put in place: " + r.message());
  }
  if (!s.ok()) DeleteFileIfExists(temp);
  return s;
}

std::vector<std::string> CommonInputArgs(const std::string& input) {
  // -xerror with the decoders' checks: a damaged source fails instead of
  // giving a short or garbled file.
  return {"-hide_banner", "-nostdin", "-v", "error", "-y", "-xerror",
          "-err_detect", "crccheck+bitstream", "-i", input};
}

std::vector<std::string> AudioArgs(const std::string& input, const SourceInfo& info,
                                   const ConvertOptions& options) {
  std::vector<std::string> args = CommonInputArgs(input);
  const std::string audio = "0:" + std::to_string(info.audio_index);
  args.insert(args.end(), {"-map", audio});
  if (info.cover_index >= 0) {
    args.insert(args.end(), {"-map", "0:" + std::to_string(info.cover_index), "-c:v", "copy",
                             "-disposition:v:0", "attached_pic"});
  }
  if (options.lossless) {
    args.insert(args.end(), {"-c:a", "alac", "-sample_fmt", info.bits > 16 ? "s32p" : "s16p"});
  } else {
    args.insert(args.end(), {"-c:a", "aac", "-b:a", std::to_string(options.bitrate_kbps) + "k"});
  }
  if (info.sample_rate > kMaxSampleRate) {
    args.insert(args.end(), {"-ar", std::to_string(kMaxSampleRate)});
  }
  if (info.channels > 2) args.insert(args.end(), {"-ac", "2"});
  // The file's tags, then those of the audio stream where the file has none.
  args.insert(args.end(), {"-map_metadata", "0", "-map_metadata", "0:s:" + audio.substr(2)});
  std::vector<std::string> tags = TagArguments(info);
  args.insert(args.end(), tags.begin(), tags.end());
  return args;
}

std::vector<std::string> VideoArgs(const std::string& input, const SourceInfo& info,
                                   const ConvertOptions&) {
  std::vector<std::string> args = CommonInputArgs(input);
  args.insert(args.end(), {"-map", "0:" + std::to_string(info.video_index)});
  if (info.audio_index >= 0) {
    args.insert(args.end(), {"-map", "0:" + std::to_string(info.audio_index)});
  }
  // The scale factor fits the display size (width times the pixel aspect
  // ratio) into the box and never enlarges; sizes are rounded down to even.
  const std::string box = "min(1,min(" + std::to_string(kMaxWidth) + "/(iw*sar)," +
                          std::to_string(kMaxHeight) + "/ih))";
  std::string filter = "scale=w='max(2,2*trunc(" + box + "*iw*sar/2))':h='max(2,2*trunc(" + box +
                       "*ih/2))',setsar=1";
  if (info.frame_rate > kMaxFrameRate + 0.01) {
    const double step = std::ceil(info.frame_rate / kMaxFrameRate - 1e-3);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.4f", info.frame_rate / step);
    filter += ",fps=";
    filter += rate;
  }
  args.insert(args.end(), {"-vf", filter, "-c:v", "libx264", "-profile:v", "baseline", "-level:v",
                           "3.0", "-pix_fmt", "yuv420p", "-crf", "23", "-maxrate", "2500k",
                           "-bufsize", "2500k"});
  if (info.audio_index >= 0) {
    args.insert(args.end(), {"-c:a", "aac", "-b:a", "160k", "-ac", "2"});
    if (info.sample_rate > kMaxSampleRate) {
      args.insert(args.end(), {"-ar", std::to_string(kMaxSampleRate)});
    }
  }
  args.insert(args.end(), {"-map_metadata", "0"});
  return args;
}

std::string H264ProfileName(int profile) {
  switch (profile) {
    case 66: return "Baseline";
    case 66 | 512: return "Constrained Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return "High 10";
    case 122: return "High 4:2:2";
    case 244: return "High 4:4:4 Predictive";
    case 44: return "CAVLC 4:4:4";
    default: return "profile " + std::to_string(profile);
  }
}

}  // namespace

Status ConvertAudio(const std::string& source, const std::string& target,
                    const ConvertOptions& options) {
  if (!options.lossless && options.bitrate_kbps <= 0) {
    return Status::Invalid("the AAC bit rate must be a positive number of kb/s");
  }
  return Convert(source, target, options, false, AudioArgs);
}

Status ConvertVideo(const std::string& source, const std::string& target,
                    const ConvertOptions& options) {
  return Convert(source, target, options, true, VideoArgs);
}

std::string VideoRefusal(std::string_view codec, int profile, int level, int width, int height) {
  const std::string name = AsciiLower(codec);
  static constexpr char kPlayed[] = " (it plays Baseline up to level 3.0)";
  if (name == "h264") {
    // Constrained Baseline is Baseline with ffmpeg's flag for constraint_set1.
    if ((profile & ~512) != 66) {
      return "H.264 " + H264ProfileName(profile) + " profile is not played by the iPod" + kPlayed;
    }
    if (level > 30) {
      char text[16];
      std::snprintf(text, sizeof text, "%d.%d", level / 10, level % 10);
      return std::string("H.264 level ") + text + " is not played by the iPod" + kPlayed;
    }
  } else if (name != "mpeg4") {
    return "the iPod does not play " + (name.empty() ? std::string("this") : name) + " video";
  }
  if (width > kMaxWidth || height > kMaxHeight) {
    return std::to_string(width) + "x" + std::to_string(height) +
           " is larger than the iPod plays (640x480)";
  }
  return "";
}

}  // namespace cadenza
