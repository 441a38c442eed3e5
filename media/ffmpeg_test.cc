#include "media/ffmpeg.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/fs.h"
#include "testing/scripted_host.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

const std::string kVideo = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/video/";
const char kNoProcess[] =
    "Error occured while parsing media file\r\n12003:Could not create piped process. LastError 2";

TEST(ParseDuration, ReadsHoursMinutesSecondsAndTenths) {
  EXPECT_FLOAT_EQ(*ParseDuration("00:03:25.40"), 205.4f);
  EXPECT_EQ(*ParseDurationMs("00:00:01.99"), 1900) << "only the tenths count";
  EXPECT_EQ(*ParseDurationMs("139:47:57.16"), 503277100) << "more than 99 hours";
  EXPECT_EQ(*ParseDurationMs("N/A"), 0);
  for (const char* bad : {"", "00:03:25", "00:3:25.40", "00:03:25,40", "0a:03:25.40",
                          "00:03:25.", "-1:00:00.00"})
    EXPECT_FALSE(ParseDurationMs(bad).has_value()) << bad;
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
      {"ffmpeg -i \"/m/text.mp4\" -analyzeduration 30000\n"
       "[mov,mp4,m4a,3gp,3g2,mj2 @ 0x55f640d28900] moov atom not found\n"
       "/m/text.mp4: Invalid data found when processing input\n",
       kUnsupported + "|||77|0|0|"},
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
      // A raw H.264 stream has no duration (0); reading stops there.
      {"ffmpeg\n  Duration: N/A, bitrate: N/A\n  Stream #0:0: Video: h264 (High 4:4:4)\n",
       kIncomplete + "|||0|0|0|"},
      // A duration from the report before never stands in for this one.
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

  TrackInfo info;
  AnalyserReport r = ReadAnalyserReport("ffmpeg\n  Stream #0:1: Audio: none\n"
                                        "  Stream #0:3: Audio: aac, stereo, fltp\n", "", info);
  ASSERT_EQ(r.faults.size(), 2u);
  EXPECT_EQ(r.faults[0].message(), "Subscript out of range");
  EXPECT_EQ(r.faults[1].message(), "Type mismatch");
}

TEST(ApplySupportRule, DecidesByExtensionAndCodecNames) {
  struct Case {
    const char *ext, *video, *audio;
    bool supported;
  } cases[] = {
      {"MP4", "h264 (High) (avc1 / 0x31637661)", "aac (LC) (mp4a / 0x6134706D)", true},
      {"MOV", "h264", "aac", true},
      {"M4V", "mpeg4 (Simple Profile) (mp4v / 0x7634706D)", "AAC (LC)", true},
      {"MPG", "mpeg2video (Main)", "mp2", false},
      {"MP4", "h264 (High) (avc1 / 0x31637661)", "mp3 (mp4a / 0x6134706D)", false},
      {"MP4", "h264", "mp3 (.mp3 / 0x00AAC055)", false},  // a tag reading "AAC"
      {"MP4", "h2645", "aac", false},  {"MP4", "", "aac", false}, {"AAC", "", "", true},
      {"AIFF", "", "", true},          {"AVI", "h264", "aac", false},
      {"mp4", "h264", "aac", false},  // the caller passes the upper-case extension
  };
  for (const Case& c : cases) {
    TrackInfo info;
    info.sVideoCodec = c.video;
    info.sAudioCodec = c.audio;
    ApplySupportRule(c.ext, info);
    EXPECT_EQ(info.isFileSupported, c.supported) << c.ext << " " << c.video << " " << c.audio;
    info.isFileSupported = true;  // an unsupported verdict keeps the caller's value
    ApplySupportRule(c.ext, info);
    EXPECT_TRUE(info.isFileSupported);
  }
}

// The real programs, with reports in a TMPDIR of our own to see that they are
// cleaned up.
class AnalyseMediaFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = (stdfs::temp_directory_path() / "cadenza-ffmpeg-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
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
  void HidePrograms() { ::setenv("PATH", (dir_ + "/tmp").c_str(), 1); }
  std::string Component() const { return dir_ + "/component"; }

  std::string dir_, path_ = ::getenv("PATH");
  ScriptedHost host_;
};

// The lines ffprobe prints for `entries` of a file, as comma-separated text.
std::vector<std::string> FFprobe(const std::string& file, const std::string& entries) {
  std::vector<std::string> lines;
  std::string cmd = "ffprobe -v error -show_entries " + entries + " -of csv=p=0 '" + file + "'";
  FILE* f = ::popen(cmd.c_str(), "r");
  char line[512];
  while (f && ::fgets(line, sizeof line, f)) lines.emplace_back(line, std::strcspn(line, "\r\n"));
  if (f) ::pclose(f);
  return lines;
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
    // "1.000000,59179" and per stream "h264,video" or "aac,audio,44100".
    const std::vector<std::string> format = FFprobe(path, "format=duration,bit_rate");
    ASSERT_EQ(format.size(), 1u);
    // ffmpeg shows the duration in hundredths; the analysis takes the tenths.
    const int64_t hundredths = (std::llround(std::atof(format[0].c_str()) * 1e6) + 5000) / 10000;
    const int64_t bit_rate = std::atoll(format[0].c_str() + format[0].find(',') + 1);
    std::string video, audio;
    int32_t rate = 0;
    for (const std::string& st : FFprobe(path, "stream=codec_name,codec_type,sample_rate")) {
      std::string name = st.substr(0, st.find(','));
      if (st.find(",video") != std::string::npos) video = name;
      if (st.find(",audio,") != std::string::npos) {
        audio = name;
        rate = std::atoi(st.c_str() + st.rfind(',') + 1);
      }
    }
    ASSERT_FALSE(audio.empty()) << "ffprobe found no audio stream";
    TrackInfo info;
    info.sTitle = "kept";
    ASSERT_TRUE(AnalyseMediaFile(path, info, host_, ""));
    EXPECT_TRUE(host_.boxes.empty()) << host_.boxes[0].text;
    EXPECT_EQ(info.isFileSupported, supported);
    EXPECT_EQ(info.iFileSize, fs::FileSize(path));
    // Length, kbit/s, Hz, the codecs' first words, and the title untouched.
    EXPECT_EQ(std::to_string(info.iTrackTimLength) + " " + std::to_string(info.iBitrateInKbs) +
                  " " + std::to_string(info.iSampleRateInHz) + " " +
                  info.sVideoCodec.substr(0, info.sVideoCodec.find(' ')) + "/" +
                  info.sAudioCodec.substr(0, info.sAudioCodec.find(' ')) + " " + info.sTitle,
              std::to_string(hundredths / 10 * 100) + " " + std::to_string(bit_rate / 1000) +
                  " " + std::to_string(rate) + " " + video + "/" + audio + " kept");
  }
  EXPECT_GT(host_.do_events, 0);
  EXPECT_FALSE(fs::FileExists("pwned") || fs::FileExists(dir_ + "/pwned"));
}

TEST_F(AnalyseMediaFileTest, UnreadableFilesGiveFalseWithoutAMessage) {
  ASSERT_TRUE(fs::WriteFileAtomic(dir_ + "/text.mp4", "hello world this is text\n").ok());
  ASSERT_TRUE(fs::WriteFileAtomic(dir_ + "/empty.mov", "").ok());
  for (const std::string& path : {dir_ + "/text.mp4", dir_ + "/empty.mov",
                                  kVideo + "raw_h264.mp4", dir_ + "/missing.mp4", Component()}) {
    SCOPED_TRACE(path);
    TrackInfo info;
    EXPECT_FALSE(AnalyseMediaFile(path, info, host_, "") || info.isFileSupported);
    EXPECT_EQ(info.iFileSize, 0);
  }
  EXPECT_TRUE(host_.boxes.empty());
}

TEST_F(AnalyseMediaFileTest, MissingProgramsAreReportedAsError12003) {
  HidePrograms();
  TrackInfo info;
  EXPECT_FALSE(AnalyseMediaFile(kVideo + "h264_aac.mp4", info, host_, Component()));
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text + "|" + std::to_string(host_.boxes[0].style) + "|" +
                host_.boxes[0].title, std::string(kNoProcess) + "|16|Cadenza");
  EXPECT_FALSE(info.isFileSupported);

  // With ffmpeg in the component folder and no mpgtx anywhere, the missing
  // mpgtx is shown and the analysis goes on.
  host_.boxes.clear();
  ASSERT_EQ(::symlink("/usr/bin/ffmpeg", (Component() + "/ffmpeg").c_str()), 0);
  EXPECT_EQ(FindAnalyserProgram("ffmpeg", Component()), Component() + "/ffmpeg");
  EXPECT_TRUE(AnalyseMediaFile(kVideo + "program.mpg", info, host_, Component()));
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text, kNoProcess);
  EXPECT_EQ(info.iSampleRateInHz, 48000);
  EXPECT_EQ(RunMPEGProgramAnalyser(kVideo + "program.mpg", host_, Component()).number(), 12003);
}

TEST_F(AnalyseMediaFileTest, FindAnalyserProgramSkipsFilesThatCannotRun) {
  const std::string fake = Component() + "/ffmpeg";
  ASSERT_TRUE(fs::WriteFileAtomic(fake, "not a program").ok());
  ::chmod(fake.c_str(), 0644);
  EXPECT_EQ(FindAnalyserProgram("ffmpeg", Component()), "/usr/bin/ffmpeg");
  ::chmod(fake.c_str(), 0755);
  EXPECT_EQ(FindAnalyserProgram("ffmpeg", Component() + "/"), fake);
}

TEST_F(AnalyseMediaFileTest, FileOf2GiBOrMoreIsRefused) {
  // Padded (sparsely) past 2 GiB: ffmpeg still reads it, but its size does
  // not fit the track's 32-bit size field.
  const std::string big = dir_ + "/big.mp4";
  ASSERT_TRUE(fs::CopyFile(kVideo + "h264_aac.mp4", big).ok());
  ASSERT_EQ(::truncate(big.c_str(), (int64_t{2} << 30) + 1), 0);
  TrackInfo info;
  info.iFileSize = 5;
  EXPECT_FALSE(AnalyseMediaFile(big, info, host_, ""));
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text, "Error occured while parsing media file\r\n6:Overflow");
  EXPECT_TRUE(!info.isFileSupported && info.iFileSize == 5);
}

}  // namespace
}  // namespace cadenza
