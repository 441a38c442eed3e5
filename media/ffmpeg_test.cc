#include "media/ffmpeg.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/fs.h"
#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

const std::string kVideo = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/video/";
const char kNoProcess[] =
    "Error occured while parsing media file\r\n12003:Could not create piped process. LastError 2";

TEST(ParseDuration, ReadsHoursMinutesSecondsAndTenths) {
  EXPECT_FLOAT_EQ(*ParseDuration("00:03:25.40"), 205.4f);
  // Only the tenths count; hours may pass 99; -1 for text that is refused.
  const std::pair<const char*, int64_t> cases[] = {
      {"00:00:01.99", 1900}, {"139:47:57.16", 503277100}, {"N/A", 0},          {"", -1},
      {"00:03:25", -1},      {"00:3:25.40", -1},          {"00:03:25,40", -1}, {"0a:03:25.40", -1},
      {"00:03:25.", -1},     {"-1:00:00.00", -1}};
  for (const auto& [text, ms] : cases) EXPECT_EQ(ParseDurationMs(text).value_or(-1), ms) << text;
}

// Reports recorded from ffmpeg 5.1 (the first line is the command line, as
// the process runner writes it).
const char kH264AacReport[] =
    "/usr/bin/ffmpeg -i \"/m/clip.mp4\" -analyzeduration 30000\n"
    "Input #0, mov,mp4,m4a,3gp,3g2,mj2, from '/m/clip.mp4':\n"
    "  Duration: 00:03:25.40, start: 0.000000, bitrate: 1411 kb/s\r\n"
    "  Stream #0:0[0x1](und): Video: h264 (High) (avc1 / 0x31637661), yuv420p(progressive), "
    "96x64 [SAR 1:1 DAR 3:2], 11 kb/s, 15 fps, 15 tbr, 15360 tbn (default)\n"
    "  Stream #0:1[0x2](und): Audio: aac (LC) (mp4a / 0x6134706D), 44100 Hz, mono, fltp, "
    "32 kb/s (default)\n"
    "At least one output file must be specified\n";

// What reading a report gives, on one line: the error (or "ok"), video and
// audio codec, duration (ms, 77 before), bit rate, sample rate, faults.
std::string ReadReport(const std::string& report, const std::string& path = "") {
  TrackInfo info;
  info.iTrackTimLength = 77;
  AnalyserReport r = ReadAnalyserReport(report, path, info);
  EXPECT_EQ(info.iSampleRateInHz, 0) << "the sample rate is the caller's to set";
  std::string s = (r.format_error ? r.error : "ok") + "|" + info.sVideoCodec + "|" +
                  info.sAudioCodec + "|" + std::to_string(info.iTrackTimLength) + "|" +
                  std::to_string(info.iBitrateInKbs) + "|" + std::to_string(r.sample_rate) + "|";
  for (const auto& f : r.faults) s += std::to_string(f.number()) + " ";
  return s;
}

TEST(ReadAnalyserReport, ReadsStreamsDurationAndBitrateUpToTheFirstError) {
  const std::string kUnsupported = "Unsupported file format or the file is corrupted.";
  const std::string kIncomplete = "File may be incomplete or corrupted.";
  struct Case {
    std::string report, want, path = "/m/x.mp4";
  } cases[] = {
      {kH264AacReport,
       "ok|h264 (High) (avc1 / 0x31637661)|aac (LC) (mp4a / 0x6134706D)|205400|1411|44100|"},
      // Stream parameters it could not find (a transport stream cut short):
      // the broken stream line after it is never read.
      {"ffmpeg\n[mpegts @ 0x555c4760c840] Could not find codec parameters for stream 1 (Audio: "
       "aac ([15][0][0][0] / 0x000F), 0 channels, fltp): unspecified sample rate\n"
       "  Duration: 00:00:05.00, start: 1.533333, bitrate: 1090909 kb/s\n"
       "  Stream #0:1[0x101]: Audio: aac ([15][0][0][0] / 0x000F), 0 channels, fltp\n",
       kUnsupported + "|||77|0|0|"},
      // Older ffmpeg: "Unknown format". Lines before it count, lines after do not.
      {"ffmpeg\n  Stream #0.0: Audio: mp2, 48000 Hz\nx.mpg: Unknown format\n"
       "  Stream #0.1: Video: mpeg4, yuv420p\n  Duration: 00:00:04.00, bitrate: 9 kb/s\n",
       kUnsupported + "||mp2|77|0|48000|"},
      // No duration (a raw H.264 stream has "N/A", here it cannot be read);
      // a duration from the report before never stands in for this one.
      {"ffmpeg\n  Duration: soon\n", kIncomplete + "|||0|0|0|13 "},
      // Odd lines are faults and reading goes on; the last audio stream
      // gives the rate.
      {"ffmpeg\n"
       "  Stream #0:0: Audio: aac, 32000 Hz\n"
       "  Stream #0:1: Audio: none\n"               // no second piece
       "  Stream #0:2: Audio: aac, Hz\n"            // too short for a number
       "  Stream #0:3: Audio: aac, stereo, fltp\n"  // not a number
       "  Stream #0:4: Audio: aac, 99999999999 Hz\n"
       "  Stream #0:5: Video: mpeg4 (Simple Profile), yuv420p\n"
       "  Stream #0:6: Audio: mp3, 22050 Hz, mono\n"
       "  Duration: 00:00:02.00, bitrate: lots kb/s\n",
       "ok|mpeg4 (Simple Profile)|mp3|2000|0|22050|9 5 13 6 13 "},
      // Tags, the command line and "[...]" notices look like report lines.
      {"ffmpeg -i \"/m/Unknown format Audio: x.mp4\" -analyzeduration 30000\n"
       "    title           : Audio: fake, 1 Hz\n"
       "    comment         : Bitrate: 320 kb/s\n"
       "[aac @ 0x1] Stream #0: Audio: fake, 2 Hz\n"
       "  Duration: 00:00:01.00, bitrate: N/A\n"
       "  Stream #0:0: Audio: aac (LC), 44100 Hz, mono, fltp, 34 kb/s\n",
       "ok||aac (LC)|1000|0|44100|", "/m/Unknown format Audio: x.mp4"},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadReport(c.report, c.path), c.want) << c.report;
}

// Beyond the real files below (and the AIFF imports of device_e2e_test):
// codec names as ffmpeg may word them.
TEST(ApplySupportRule, DecidesByKindAndCodecNames) {
  struct Case {
    const char *ext, *video, *audio;
    bool supported;
  } cases[] = {
      {"m4v", "mpeg4 (Simple Profile) (mp4v / 0x7634706D)", "AAC (LC)", true},
      {"MP4", "h264", "mp3 (.mp3 / 0x00AAC055)", false},  // a tag reading "AAC"
      {"MP4", "h2645", "aac", false},
      {"MP4", "", "aac", false},
      {"AVI", "h264", "aac", false},
  };
  for (const Case& c : cases) {
    TrackInfo info;
    info.sVideoCodec = c.video;
    info.sAudioCodec = c.audio;
    ApplySupportRule(FindMediaKind(std::string("/m/x.") + c.ext), info);
    EXPECT_EQ(info.isFileSupported, c.supported) << c.ext << " " << c.video << " " << c.audio;
    // An unsupported verdict keeps the caller's value.
    info.isFileSupported = true;
    ApplySupportRule(FindMediaKind(std::string("/m/x.") + c.ext), info);
    EXPECT_TRUE(info.isFileSupported);
  }
}

TEST(MediaKind, ByExtensionAsTheFileSystemSeesIt) {
  // File type, media type, movie flag or "-" for no kind; then whether a
  // rebuild takes it on a shuffle and on other devices.
  auto row = [](const std::string& path) {
    const MediaKind* k = FindMediaKind(path);
    return (k ? std::string(k->file_type) + std::to_string(k->media_type) + (k->movie ? "m" : "")
              : "-") +
           " " + std::to_string(TakenByRebuild(path, true)) +
           std::to_string(TakenByRebuild(path, false));
  };
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b.Mp3", "MP31 11"}, {"x.wav", "WAV1 11"},  {"x.aiff", "AIFF1 11"},
      {"x.aac", "AAC1 11"},    {"x.MP4", "MP42m 01"}, {"x.mov", "MP42m 00"},
      {"x.mpeg4", "MP42m 00"}, {"x.aif", "- 00"},     {"/a/.mp3", "- 00"},
      {"/a.mp3/x", "- 00"},    {"x.M4B", "M4B8 11"},  {"x.m4a", "M4A1 11"},
      {"x.flac", "M4A1 00"},   {"x.mkv", "M4V2m 00"}, {"x.m4p", "M4P1 00"}};
  for (const auto& [path, want] : cases) EXPECT_EQ(row(path), want) << path;
}

// The real programs, with reports in a TMPDIR of our own to see that they are
// cleaned up.
class AnalyseMediaFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = FreshTestDir("cadenza_ffmpeg").string();
    stdfs::create_directories(dir_ + "/tmp");
    stdfs::create_directories(Component());
    ::setenv("TMPDIR", (dir_ + "/tmp").c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", path_.c_str(), 1);
    ::unsetenv("TMPDIR");
    EXPECT_TRUE(fs::ListDir(dir_ + "/tmp").empty()) << "a report file was left behind";
    stdfs::remove_all(dir_);
  }
  std::string Component() const { return dir_ + "/component"; }
  Status Analyse(const std::string& path, TrackInfo& info, const std::string& folder = "") {
    return AnalyseMediaFile(path, info, {folder, [this] { return ++ticks_ < cancel_at_; }},
                            &errors_);
  }
  // The message texts of the errors so far.
  std::string Errors() {
    std::string s;
    for (const Status& e : errors_) s += AnalysisErrorMessage(e) + "|";
    errors_.clear();
    return s;
  }

  std::string dir_, path_ = ::getenv("PATH");
  std::vector<Status> errors_;
  int ticks_ = 0, cancel_at_ = INT32_MAX;
};

// What ffprobe says of a file, as the analysis gives it: length in ms (ffmpeg
// shows hundredths; the analysis takes the tenths), kbit/s, the last audio
// stream's rate, video and audio codec.
std::string FFprobe(const std::string& file) {
  std::string cmd =
      "ffprobe -v error -show_entries stream=codec_name,codec_type,sample_rate:"
      "format=duration,bit_rate -of csv=p=0 '" +
      file + "'";
  FILE* f = ::popen(cmd.c_str(), "r");
  std::string video, audio, rate, format;
  char line[512];
  while (f && ::fgets(line, sizeof line, f)) {
    std::string l(line, std::strcspn(line, "\r\n")), name = l.substr(0, l.find(','));
    if (l.find(",video") != std::string::npos) video = name;
    if (l.find(",audio,") != std::string::npos) audio = name, rate = l.substr(l.rfind(',') + 1);
    if (l.find(",video") == std::string::npos && l.find(",audio") == std::string::npos) format = l;
  }
  if (f) ::pclose(f);
  const int64_t hundredths = (std::llround(std::atof(format.c_str()) * 1e6) + 5000) / 10000;
  return std::to_string(hundredths / 10 * 100) + " " +
         std::to_string(std::atoll(format.c_str() + format.find(',') + 1) / 1000) + " " + rate +
         " " + video + "/" + audio;
}

TEST_F(AnalyseMediaFileTest, DescribesRealFilesAsFFprobeDoes) {
  // Blanks, quotes and shell syntax in a name reach ffmpeg unchanged.
  const std::string odd = dir_ + "/my \"odd\" $(touch pwned); clip.MP4";
  ASSERT_TRUE(fs::CopyFile(kVideo + "h264_aac.mp4", odd).ok());
  const std::pair<std::string, bool> cases[] = {
      {"mpeg4_aac.mp4", true}, {"h264_two_audio.mp4", true}, {"h264_mp3.mp4", false},
      {"tone.aac", true},      {"program.mpg", false},       {odd, true}};
  for (const auto& [file, supported] : cases) {
    SCOPED_TRACE(file);
    const std::string path = file[0] == '/' ? file : kVideo + file;
    const std::string want = FFprobe(path);
    ASSERT_NE(want.back(), '/') << "ffprobe found no audio stream";
    TrackInfo info;
    info.sTitle = "kept";
    ASSERT_TRUE(Analyse(path, info).ok());
    EXPECT_EQ(Errors(), "");
    EXPECT_EQ(info.isFileSupported, supported);
    EXPECT_EQ(info.iFileSize, fs::FileSize(path));
    // The codecs' first words, and the title untouched.
    EXPECT_EQ(std::to_string(info.iTrackTimLength) + " " + std::to_string(info.iBitrateInKbs) +
                  " " + std::to_string(info.iSampleRateInHz) + " " +
                  info.sVideoCodec.substr(0, info.sVideoCodec.find(' ')) + "/" +
                  info.sAudioCodec.substr(0, info.sAudioCodec.find(' ')) + " " + info.sTitle,
              want + " kept");
  }
  EXPECT_GT(ticks_, 0);
  EXPECT_FALSE(fs::FileExists("pwned") || fs::FileExists(dir_ + "/pwned"));
}

TEST_F(AnalyseMediaFileTest, UnreadableCancelledAndTooLargeFiles) {
  ASSERT_TRUE(fs::WriteFileAtomic(dir_ + "/text.mp4", "hello world this is text\n").ok());
  ASSERT_TRUE(fs::WriteFileAtomic(dir_ + "/empty.mov", "").ok());
  // Unsupported, and no message to show.
  for (const std::string& path : {dir_ + "/text.mp4", dir_ + "/empty.mov", kVideo + "raw_h264.mp4",
                                  dir_ + "/missing.mp4", Component()}) {
    TrackInfo info;
    EXPECT_EQ(Analyse(path, info).code(), Status::Code::kUnsupported) << path;
    EXPECT_FALSE(info.isFileSupported || info.iFileSize != 0) << path;
  }
  EXPECT_EQ(Errors(), "");
  // A cancelled run is no failure to show either.
  cancel_at_ = ticks_ + 1;
  TrackInfo info;
  EXPECT_EQ(Analyse(kVideo + "h264_aac.mp4", info).code(), Status::Code::kCancelled);
  EXPECT_EQ(Errors(), "");
  cancel_at_ = INT32_MAX;
  // Padded (sparsely) past 2 GiB: ffmpeg still reads it, but its size does
  // not fit the track's 32-bit size field.
  const std::string big = dir_ + "/big.mp4";
  ASSERT_TRUE(fs::CopyFile(kVideo + "h264_aac.mp4", big).ok());
  ASSERT_EQ(::truncate(big.c_str(), (int64_t{2} << 30) + 1), 0);
  info.iFileSize = 5;
  EXPECT_FALSE(Analyse(big, info).ok());
  EXPECT_EQ(Errors(), "Error occured while parsing media file\r\n6:Overflow|");
  EXPECT_TRUE(!info.isFileSupported && info.iFileSize == 5);
}

TEST_F(AnalyseMediaFileTest, MissingProgramsAreReportedAsError12003) {
  // A file that cannot run is passed over for the one on the PATH.
  const std::string fake = Component() + "/ffmpeg";
  ASSERT_TRUE(fs::WriteFileAtomic(fake, "not a program").ok());
  ::chmod(fake.c_str(), 0644);
  EXPECT_EQ(FindAnalyserProgram("ffmpeg", Component()), "/usr/bin/ffmpeg");
  ::chmod(fake.c_str(), 0755);
  EXPECT_EQ(FindAnalyserProgram("ffmpeg", Component() + "/"), fake);
  stdfs::remove(fake);

  // (No ffmpeg at all: questions_test.) With ffmpeg in the component folder
  // and no mpgtx anywhere, the missing mpgtx is reported and the analysis
  // goes on.
  ::setenv("PATH", (dir_ + "/tmp").c_str(), 1);
  TrackInfo info;
  ASSERT_EQ(::symlink("/usr/bin/ffmpeg", fake.c_str()), 0);
  EXPECT_TRUE(Analyse(kVideo + "program.mpg", info, Component()).ok());
  EXPECT_EQ(Errors(), std::string(kNoProcess) + "|");
  EXPECT_EQ(info.iSampleRateInHz, 48000);
}

}  // namespace
}  // namespace cadenza
