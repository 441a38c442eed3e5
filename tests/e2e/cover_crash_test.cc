// Commands killed while they write covers: wherever the kill lands, libgpod
// reads the device, lists the tracks from before or after the command, and
// decodes every track's cover in all four formats of an iPod classic to the
// track's own colour; a repair then leaves covers and files in step.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "cadenza/library.h"
#include "tests/e2e/gpod_util.h"

namespace cadenza::e2e {
namespace {

const char* const kColour[] = {"red", "lime", "blue", "yellow"};
constexpr uint8_t kRgb[][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};

class CoverCrashTest : public E2ETest {
 protected:
  std::string Cli() { return Quote(CADENZA_CLI_PATH) + " --device " + Quote(dev_.string()) + " "; }
  // Five MP3s a colour, each its own album ("c<colour> <n>") with a 600x600
  // cover of the colour: colours 0 and 1 in `a`, 2 and 3 in `b`.
  void Media() {
    const std::string jpg = Quote((base_ / "cover.jpg").string());
    for (int c = 0; c < 4; ++c) {
      const stdfs::path dir = base_ / (c < 2 ? "a" : "b");
      stdfs::create_directories(dir);
      std::string cmd = "ffmpeg -v error -y -f lavfi -i color=" + std::string(kColour[c]) +
                        ":s=600x600 -frames:v 1 " + jpg +
                        " && ffmpeg -v error -y -f lavfi -i sine=d=1 -i " + jpg;
      for (const std::string k : {"0", "1", "2", "3", "4"})
        cmd += " -map 0:a -map 1:v -c:v copy -disposition:v attached_pic -metadata title=t" +
               (" -metadata album='c" + std::to_string(c) + " " + k + "' ") +
               Quote((dir / (std::to_string(c) + k + ".mp3")).string());
      ASSERT_EQ(0, Shell(cmd).status);
    }
  }
  // What gpod_oracle prints, past the lines libgpod writes itself ("Could
  // not find corresponding track ... for artwork entry").
  static json Read(const std::vector<std::string>& args) {
    const std::string out = Oracle(args).value_or("");
    const json j =
        json::parse(out.substr(std::min(out.find_first_of("[{"), out.size())), nullptr, false);
    if (j.is_discarded()) ADD_FAILURE() << "libgpod cannot read the device: " << out;
    return j.is_discarded() ? json::array() : j;
  }
  void Reset(const stdfs::path& from) {
    stdfs::remove_all(dev_);
    stdfs::copy(from, dev_, stdfs::copy_options::recursive);
  }
  // libgpod's view: the ids of the tracks, each checked to show its cover
  // in the four formats, in its album's colour.
  std::vector<int> Verify() {
    const json dump = Read({"dump", dev_.string()});
    std::map<int, std::string> album;
    for (const json& t : dump["tracks"]) album[t["id"].get<int>()] = Str(t["album"]);
    std::vector<int> ids;
    for (const json& t : Read({"thumbs", dev_.string(), (base_ / "ppm").string()})) {
      const int id = ids.emplace_back(t["id"].get<int>()), colour = album[id][1] - '0';
      SCOPED_TRACE("track " + std::to_string(id) + " " + album[id]);
      EXPECT_TRUE(t["has_thumbnails"].get<bool>());
      std::multiset<int> edges;
      for (const json& th : t["thumbs"]) {
        EXPECT_EQ(th["width"], th["height"]);
        edges.insert(th["width"].get<int>());
        if (th["width"] != 320) continue;
        // The centre pixel of the largest copy.
        const std::string ppm = ReadBytes(th["file"].get<std::string>()) + std::string(9, '\0');
        const size_t at = ppm.find("\n255\n") + 5 + (160 * 320 + 160) * 3;
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(uint8_t(ppm[at + k]), kRgb[colour][k], 24) << k;
      }
      EXPECT_EQ(edges, (std::multiset<int>{56, 128, 128, 320}));
    }
    return ids;
  }
  // After a kill: the old or the new tracks, all with their covers; then a
  // repair keeps them and their images, and no other image or unused byte.
  void CheckAndRepair(const std::set<size_t>& counts) {
    const std::vector<int> ids = Verify();
    const int n = static_cast<int>(ids.size());
    EXPECT_TRUE(counts.contains(ids.size())) << n << " tracks";
    EXPECT_EQ(Shell(Cli() + "check --repair --remove").status, 0);
    EXPECT_EQ(Shell(Cli() + "check").status, 0);
    Library lib(dev_.string(), opts_);
    ArtworkInfo info;
    ASSERT_TRUE(lib.Load().ok() && lib.GetArtworkInfo(&info).ok());
    EXPECT_EQ(info.tracks_with_cover, n);
    EXPECT_EQ(info.images, n) << "images no track shows are kept";
    EXPECT_EQ(info.unused_bytes, 0);
    if (n == 0) return;
    const std::string png = (base_ / "x.png").string();
    EXPECT_EQ(Shell(Cli() + "art " + std::to_string(ids.back()) + " --out " + png).status, 0);
    EXPECT_EQ(ReadBytes(png).substr(0, 4), "\x89PNG");
  }
  stdfs::path dev_;
};

TEST_F(CoverCrashTest, KilledCoverWritesLeaveTheOldOrTheNewCovers) {
  dev_ = base_ / "dev";
  ASSERT_TRUE(Oracle({"make", dev_.string(), "--model", "xB029", "--tracks", "0"}));
  Media();
  for (const char* batch : {"a", "b"}) {
    ASSERT_EQ(Shell(Cli() + "add " + Quote((base_ / batch).string())).status, 0);
    stdfs::copy(dev_, base_ / (batch + std::string("_added")), stdfs::copy_options::recursive);
  }
  const json full = Read({"dump", dev_.string()});
  std::string doomed;  // the tracks of three colours of four: the rest is compacted
  for (const json& t : full["tracks"])
    if (Str(t["album"])[1] < '3') doomed += " " + std::to_string(t["id"].get<int>());
  const struct {
    const char* device;
    std::string cmd;
    std::set<size_t> counts;  // the tracks before and after
  } steps[] = {{"a_added", "add " + Quote((base_ / "b").string()), {10, 20}},
               {"b_added", "rm" + doomed, {20, 5}}};
  std::mt19937 rng(7);
  for (const auto& s : steps) {
    // Killed after a random time within the command's run time, ...
    Reset(base_ / s.device);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Shell(Cli() + s.cmd).status, 0) << s.cmd;
    const auto ms = (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1) + 1;
    for (int trial = 0; trial < 4; ++trial) {
      SCOPED_TRACE(s.cmd.substr(0, 12) + " trial " + std::to_string(trial));
      Reset(base_ / s.device);
      const std::string line = "exec " + Cli() + s.cmd + " >/dev/null 2>&1";
      const pid_t pid = fork();
      if (pid == 0) _exit((execl("/bin/sh", "sh", "-c", line.c_str(), nullptr), 127));
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % ms));
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      CheckAndRepair(s.counts);
    }
    // ... and just before each file it replaces, and each of the first it
    // deletes (the old artwork files come first), until it runs to its end.
    for (const std::string call : {"rename", "unlink"}) {
      for (int n = 1; n <= 5 && Shell("strace -V").status == 0; ++n) {
        SCOPED_TRACE(s.cmd.substr(0, 12) + " before " + call + " " + std::to_string(n));
        Reset(base_ / s.device);
        const std::string inject =
            " -e inject=" + call + ":signal=SIGKILL:when=" + std::to_string(n);
        const int status =
            Shell("strace -f -o /dev/null -e trace=" + call + inject + " " + Cli() + s.cmd).status;
        CheckAndRepair(s.counts);
        if (status == 0) break;
      }
    }
  }
}

}  // namespace
}  // namespace cadenza::e2e
