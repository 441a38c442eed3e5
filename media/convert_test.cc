#include "media/convert.h"

#include <gmock/gmock.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "media/convert_pool.h"
#include "media/media_test_util.h"

namespace cadenza {
namespace {

using ::testing::HasSubstr;

// Runs a shell command and returns its standard output.
std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p) ::pclose(p);
  return out;
}

class ConvertTest : public testutil::MediaTest {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    if (Shell("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null && echo y") != "y\n") {
      GTEST_SKIP() << "ffmpeg or ffprobe is not installed";
    }
  }
  std::string Path(const std::string& name) { return (dir_ / name).string(); }
  // Makes `name` with ffmpeg from `inputs` and `options`.
  std::string Make(const std::string& name, const std::string& inputs, const std::string& options) {
    Shell("ffmpeg -v error -y " + inputs + " " + options + " '" + Path(name) + "'");
    return Path(name);
  }
  std::string Probe(const std::string& path) {
    return Shell("ffprobe -v error -show_entries stream=codec_name,profile,level,width,height,"
                 "sample_rate,bits_per_raw_sample,r_frame_rate:stream_disposition=attached_pic"
                 ":format=duration:format_tags -of default=nw=1 '" + path + "'");
  }
  static double Duration(const std::string& probe) {
    size_t at = probe.rfind("\nduration=");
    return at == std::string::npos ? -1 : std::atof(probe.c_str() + at + 10);
  }
  // Files left in the scratch folder besides the sources made.
  size_t FileCount() {
    return std::distance(std::filesystem::directory_iterator(dir_), {});
  }
};

const char kTags[] =
    "-metadata TITLE=Ωμέγα -metadata ALBUMARTIST='Various Artists' -metadata TRACKNUMBER=3 "
    "-metadata TRACKTOTAL=12 -metadata DISCNUMBER=1 -metadata DISCTOTAL=2 "
    "-metadata COMPILATION=1 -metadata BPM=128";
const char kStereo[] = "-f lavfi -i sine=f=440:d=3 -f lavfi -i sine=f=660:d=3";
const char kMerge[] = "-filter_complex amerge -map 0:a";

TEST_F(ConvertTest, AudioFormatsBecomeAacWithTagsAndCover) {
  std::string cover = Make("cover.jpg", "-f lavfi -i testsrc=s=64x64", "-frames:v 1");
  std::string flac = Make("tagged.flac", std::string(kStereo) + " -i " + cover,
                          "-filter_complex '[0:a][1:a]amerge' -map 2:v -c:v copy "
                          "-disposition:v attached_pic " + std::string(kTags));
  std::vector<std::string> sources = {flac};
  for (const char* name : {"a.ogg", "a.opus", "a.wv", "a.wma"}) {
    sources.push_back(Make(name, kStereo, std::string(kMerge) + " " + kTags));
  }
  for (const std::string& source : sources) {
    SCOPED_TRACE(source);
    const std::string target = source + ".m4a";
    ASSERT_TRUE(ConvertAudio(source, target, {}).ok());
    std::string probe = Probe(target);
    EXPECT_THAT(probe, HasSubstr("codec_name=aac"));
    EXPECT_NEAR(Duration(probe), Duration(Probe(source)), 0.05);
    for (const char* tag : {"title=Ωμέγα", "album_artist=Various Artists", "track=3/12",
                            "disc=1/2", "compilation=1"}) {
      EXPECT_THAT(probe, HasSubstr(std::string("TAG:") + tag));
    }
    // ffprobe does not show the tempo: the tmpo atom holds 128 as 16 bits.
    std::string bytes = ReadBytes(target);
    size_t tmpo = bytes.find("tmpo");
    ASSERT_NE(tmpo, std::string::npos);
    EXPECT_EQ(bytes.substr(tmpo + 20, 2), std::string("\0\x80", 2));
    EXPECT_EQ(probe.find("attached_pic=1") != std::string::npos, source == flac);
  }
}

TEST_F(ConvertTest, HighResolutionFlacBecomes48kHzLossless) {
  std::string source = Make("hr.flac", "-f lavfi -i sine=f=1000:d=2:r=96000",
                            "-ac 2 -sample_fmt s32 -c:a flac " + std::string(kTags));
  ConvertOptions options;
  options.lossless = true;
  ASSERT_TRUE(ConvertAudio(source, Path("hr.m4a"), options).ok());
  std::string probe = Probe(Path("hr.m4a"));
  EXPECT_THAT(probe, HasSubstr("codec_name=alac"));
  EXPECT_THAT(probe, HasSubstr("sample_rate=48000"));
  EXPECT_THAT(probe, HasSubstr("bits_per_raw_sample=24"));
  EXPECT_THAT(probe, HasSubstr("TAG:track=3/12"));
  EXPECT_NEAR(Duration(probe), 2.0, 0.05);
}

TEST_F(ConvertTest, FailuresLeaveNothingAtTheTarget) {
  std::string good = Make("good.flac", "-f lavfi -i sine=d=5", "");
  std::string bytes = ReadBytes(good);
  std::string garbled = bytes;
  for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 4000; ++i) garbled[i] = char(i * 7919);
  std::string truncated = Write("truncated.flac", bytes.substr(0, bytes.size() / 2));
  std::string damaged = Write("damaged.flac", garbled);
  std::string text = Write("text.flac", "not audio at all");
  const size_t files = FileCount();
  for (const std::string& source : {truncated, damaged, text}) {
    Status s = ConvertAudio(source, Path("out.m4a"), {});
    EXPECT_FALSE(s.ok()) << source;
    EXPECT_FALSE(s.message().empty());
  }
  EXPECT_EQ(ConvertAudio(truncated, Path("out.m4a"), {}).code(), Status::Code::kCorrupt);
  ConvertOptions cancelled;
  cancelled.tick = [] { return false; };
  EXPECT_EQ(ConvertAudio(good, Path("out.m4a"), cancelled).code(), Status::Code::kCancelled);
  EXPECT_EQ(ConvertAudio(Path("missing.flac"), Path("out.m4a"), {}).code(),
            Status::Code::kNotFound);
  EXPECT_EQ(FileCount(), files);  // no target, no temporary file
  const std::string path = ::getenv("PATH");
  ::setenv("PATH", "/nonexistent", 1);
  Status s = ConvertAudio(good, Path("out.m4a"), {});
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(s.code(), Status::Code::kNotFound);
  EXPECT_THAT(s.message(), HasSubstr("ffmpeg was not found"));
}

TEST_F(ConvertTest, VideoBeyondTheIpodIsRefusedAndConverted) {
  EXPECT_THAT(VideoRefusal("h264", 100, 31, 1280, 720), HasSubstr("High profile"));
  EXPECT_THAT(VideoRefusal("h264", 66, 31, 320, 240), HasSubstr("level 3.1"));
  EXPECT_THAT(VideoRefusal("h264", 578, 30, 1920, 1080), HasSubstr("1920x1080 is larger"));
  EXPECT_THAT(VideoRefusal("hevc", 1, 30, 320, 240), HasSubstr("does not play hevc"));
  EXPECT_EQ(VideoRefusal("h264", 578, 30, 640, 480), "");
  EXPECT_EQ(VideoRefusal("mpeg4", 0, 1, 640, 480), "");

  std::string source = Make("hd.mp4", "-f lavfi -i testsrc=s=1280x720:r=60:d=1 -f lavfi -i sine",
                            "-t 1 -pix_fmt yuv420p -c:v libx264 -profile:v high -c:a aac");
  ASSERT_THAT(Probe(source), HasSubstr("profile=High\n"));
  ASSERT_TRUE(ConvertVideo(source, Path("hd.m4v"), {}).ok());
  std::string probe = Probe(Path("hd.m4v"));
  for (const char* line : {"profile=Constrained Baseline", "level=30", "width=640", "height=360",
                           "r_frame_rate=30/1", "codec_name=aac"}) {
    EXPECT_THAT(probe, HasSubstr(line));
  }
  EXPECT_NEAR(Duration(probe), 1.0, 0.1);
}

TEST(ConvertPoolTest, RunsJobsSideBySideAndReturnsResultsInOrder) {
  constexpr int kWorkers = 3;
  ConvertPool pool(kWorkers);
  std::atomic<int> started{0};
  // Each job waits until all have started: this ends only when they run
  // side by side (or times out and fails).
  for (int i = 0; i < kWorkers; ++i) {
    pool.Submit([&started, i] {
      ++started;
      for (int n = 0; started < kWorkers && n < 1000; ++n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      return started == kWorkers ? Status::NotFound(std::to_string(i)) : Status::OK();
    });
  }
  for (size_t t = 0; t < kWorkers; ++t) EXPECT_EQ(pool.Wait(t).message(), std::to_string(t));
  EXPECT_EQ(pool.finished(), 3u);

  // A waiter that gives up gets Cancelled while the job runs on; Cancel ends
  // the queued jobs but not the one running.
  ConvertPool single(1);
  std::atomic<bool> began{false}, release{false};
  size_t running = single.Submit([&] {
    began = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return Status::OK();
  });
  size_t queued = single.Submit([] { return Status::OK(); });
  while (!began) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  int idles = 0;
  EXPECT_EQ(single.Wait(running, [&idles] { return ++idles < 3; }).code(),
            Status::Code::kCancelled);
  single.Cancel();
  release = true;
  EXPECT_TRUE(single.Wait(running).ok());
  EXPECT_EQ(single.Wait(queued).code(), Status::Code::kCancelled);
  EXPECT_TRUE(single.Wait(single.Submit([] { return Status::OK(); })).ok());
  EXPECT_EQ(single.submitted(), 3u);
  EXPECT_EQ(pool.Wait(99).code(), Status::Code::kInvalid);
}

}  // namespace
}  // namespace cadenza
