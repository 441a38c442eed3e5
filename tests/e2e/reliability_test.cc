// Never losing music: real cadenza processes started together, killed at
// random moments, run on a full file system and given bad input; two
// objects in two threads writing one device.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "cadenza/cadenza.h"
#include "component/check.h"
#include "testing/temp_dir.h"
#include "tests/e2e/e2e_util.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using json = nlohmann::json;
using namespace e2e;

class Reliability : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = FreshTestDir("cadenza_rel");
    dev_ = base_ / "ipod";
    cli_ = Quote(CADENZA_CLI_PATH) + " --device " + Quote(dev_.string()) + " ";
    ASSERT_EQ(Shell(Quote(CADENZA_CLI_PATH) + " init " + Quote(dev_.string())).status, 0);
  }
  void TearDown() override { stdfs::remove_all(base_); }
  stdfs::path Db() const { return dev_ / "iPod_Control/iTunes/iTunesDB"; }
  // `n` copies of a small MP3 in `dir`.
  void Copies(const stdfs::path& dir, int n) {
    stdfs::create_directories(dir);
    for (int i = 0; i < n; ++i)
      stdfs::copy_file(kMedia + "mp1l3_cbr64_mono.mp3", dir / ("T" + std::to_string(i) + ".mp3"));
  }
  // The device as a fresh object loads it: the check, and the track count.
  DeviceCheck Check(int* tracks = nullptr) {
    clsCadenza c;
    c.initlaize(0, "test", dev_.string());
    EXPECT_TRUE(c.LoadiPodDB()) << c.status().message();
    if (tracks) *tracks = c.GetAllTracks().m_mhlt.iNumberOfllTracks;
    return CheckDevice(dev_.string() + "/", c.GetAllTracks().m_mhlt);
  }
  // The tool on the device; its standard output and error together.
  RunResult Run(const std::string& args, const std::string& prefix = "") {
    return Shell("{ " + prefix + cli_ + args + " 2>&1; }");
  }
  std::string Ids() {
    json j = json::parse(Shell(cli_ + "--json --no-images tracks").out);
    std::string ids;
    for (const json& t : j["m_mhlt"]["m_mhit"]) ids += std::to_string(t["iUniqueID"].get<int>()) + " ";
    return ids;
  }

  stdfs::path base_, dev_;
  std::string cli_;
};

TEST_F(Reliability, ConcurrentWritersNeverLoseAnUpdate) {
  Copies(base_ / "src", 12);
  ASSERT_EQ(Shell(cli_ + "add " + Quote((base_ / "src/T0.mp3").string())).status, 0);
  const std::string first = Ids();
  int expected = 1;
  std::string title;
  for (int round = 1; round < 12; ++round) {
    // An import, an edit of the first track and a delete of the track the
    // last round added, started together.
    const std::string add = "add " + Quote((base_ / "src" / ("T" + std::to_string(round) + ".mp3")).string());
    const std::string edit = "edit " + first + "--title R" + std::to_string(round);
    const std::string last = Ids().substr(first.size());
    const std::string rm = last.empty() ? std::string("info") : "rm " + last;
    std::string script;
    int k = 0;
    for (const std::string& cmd : {add, edit, rm})
      script += "(" + cli_ + cmd + " >/dev/null 2>&1; echo $? >" + Quote((base_ / std::to_string(k++)).string()) + ") & ";
    Shell(script + "wait");
    const int add_rc = std::stoi(Get(base_ / "0")), edit_rc = std::stoi(Get(base_ / "1")),
              rm_rc = std::stoi(Get(base_ / "2"));
    for (int rc : {add_rc, edit_rc, rm_rc}) EXPECT_TRUE(rc == 0 || rc == 4) << rc;
    expected += (add_rc == 0) - (rm_rc == 0 && !last.empty());
    if (edit_rc == 0) title = "R" + std::to_string(round);
    int tracks = 0;
    EXPECT_TRUE(Check(&tracks).in_step()) << round;
    EXPECT_EQ(tracks, expected) << round;
    if (!title.empty()) {
      EXPECT_NE(Shell(cli_ + "show " + first).out.find(title), std::string::npos);
    }
  }

  // Two objects of one process, each editing its own track: a write that
  // would overwrite the other's is refused, never silent.
  Shell(cli_ + "add " + Quote((base_ / "src/T1.mp3").string()));
  std::vector<int32_t> ids;
  std::istringstream listed(Ids());
  for (int32_t id; listed >> id;) ids.push_back(id);
  ASSERT_GE(ids.size(), 2u);
  std::string last_written[2];
  auto writer = [&](int w) {
    for (int k = 0; k < 15; ++k) {
      clsCadenza c;
      c.initlaize(0, "test", dev_.string());
      if (!c.LoadiPodDB()) continue;
      TrackInfo info = c.GetTrackInfo(ids[w]);
      info.sTitle = "W" + std::to_string(w) + "-" + std::to_string(k);
      c.ModifyTrack(ids[w], info);
      c.WriteiPodDB();
      if (c.status().ok()) last_written[w] = info.sTitle;
      else EXPECT_EQ(c.status().code(), Status::Code::kBusy) << c.status().message();
    }
  };
  std::thread a(writer, 0), b(writer, 1);
  a.join();
  b.join();
  clsCadenza r;
  r.initlaize(0, "test", dev_.string());
  ASSERT_TRUE(r.LoadiPodDB());
  for (int w : {0, 1}) EXPECT_EQ(r.GetTrackInfo(ids[w]).sTitle, last_written[w]);
}

TEST_F(Reliability, KilledCommandsLeaveTheOldOrTheNewDatabase) {
  constexpr int kOnDevice = 600, kToAdd = 200;
  Copies(base_ / "src", kToAdd);
  std::string all_ids;
  for (int i = 1; i <= kOnDevice; ++i) all_ids += std::to_string(i) + " ";
  struct Step {
    std::string cmd;
    int after;  // tracks listed once the command has run to its end
  };
  const Step steps[] = {{"--yes rebuild", kOnDevice},
                        {"rm " + all_ids, 0},
                        {"add " + Quote((base_ / "src").string()), kOnDevice + kToAdd}};
  std::mt19937 rng(42);
  for (const Step& s : steps) {
    for (int trial = 0; trial < 5; ++trial) {
      SCOPED_TRACE(s.cmd.substr(0, 12) + " trial " + std::to_string(trial));
      stdfs::remove_all(dev_ / "iPod_Control/Music");
      Copies(dev_ / "iPod_Control/Music/F00", kOnDevice);
      ASSERT_EQ(Shell(cli_ + "--yes rebuild").status, 0);
      const std::string before = Get(Db());
      const pid_t pid = fork();
      if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + cli_ + s.cmd + " >/dev/null 2>&1").c_str(), nullptr);
        _exit(127);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 250));
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      int tracks = -1;
      const DeviceCheck c = Check(&tracks);
      EXPECT_TRUE(Get(Db()) == before || tracks == s.after) << tracks;
      // A kill may leave files that no track lists, and the leftovers of a
      // write; never a track without its file.
      EXPECT_TRUE(c.missing.empty()) << c.missing.size();
      EXPECT_EQ(Shell(cli_ + "check --repair --remove").status, 0);
      EXPECT_TRUE(Check().in_step());
    }
  }
}

TEST_F(Reliability, AFullDiskKeepsTheDatabaseAndLeavesNoUnlistedFiles) {
  // A file system of 1 MB of our own: a mount namespace with tmpfs.
  if (Shell("unshare -rm true").status != 0) GTEST_SKIP() << "no mount namespaces here";
  Copies(base_ / "src", 80);  // about 690 kB
  const std::string mnt = (base_ / "mnt").string(), out = (base_ / "out").string();
  stdfs::create_directories(mnt);
  stdfs::create_directories(out);
  const std::string cli = Quote(CADENZA_CLI_PATH) + " --device " + Quote(mnt + "/ipod") + " ";
  const RunResult r = Shell(
      "unshare -rm sh -c " +
      Quote("mount -t tmpfs -o size=1m none " + mnt + " || exit 99; " +
            Quote(CADENZA_CLI_PATH) + " init " + mnt + "/ipod >/dev/null; " +
            cli + "add " + base_.string() + "/src; echo \"add $?\"; cp -a " + mnt + "/ipod " + out + "/added; " +
            "head -c 2000000 /dev/zero >" + mnt + "/filler; " +
            cli + "--yes rebuild >/dev/null 2>&1; echo \"rebuild $?\"; cp -a " + mnt + "/ipod " + out + "/rebuilt"));
  if (r.status == 99) GTEST_SKIP() << "tmpfs cannot be mounted here";
  EXPECT_NE(r.out.find("(the iPod is full)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("add 3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rebuild 1"), std::string::npos) << r.out;
  for (const char* copy : {"added", "rebuilt"}) {
    SCOPED_TRACE(copy);
    dev_ = base_ / "out" / copy;
    int tracks = 0;
    EXPECT_TRUE(Check(&tracks).in_step());
    EXPECT_GT(tracks, 10);
    EXPECT_LT(tracks, 80);
  }
  EXPECT_EQ(Get(base_ / "out/added/iPod_Control/iTunes/iTunesDB"),
            Get(base_ / "out/rebuilt/iPod_Control/iTunes/iTunesDB"));
}

TEST_F(Reliability, BadInputIsRefusedAndChangesNothing) {
  const stdfs::path in = base_ / "in";
  Put(in / "empty.mp3", "");
  Put(in / "text.aiff", "words, not sound\n");
  ASSERT_EQ(mkfifo((in / "fifo.mp3").c_str(), 0600), 0);
  Put(in / "ok/a.mp3", Get(kMedia + "tagged_v24.mp3"));
  Put(in / "ok/notes.txt", "x");
  ASSERT_EQ(Shell(cli_ + "add " + Quote((in / "ok").string())).status, 0);
  const std::string id = Ids();
  // Tracks whose stored location is no music file: the database itself, a
  // document elsewhere on the device, a link out of the music folder.
  Put(dev_ / "Docs/thesis.doc", "my thesis");
  stdfs::create_directories(dev_ / "iPod_Control/Music/F00");
  stdfs::create_symlink(in / "ok/a.mp3", dev_ / "iPod_Control/Music/F00/LINK.mp3");
  {
    clsCadenza c;
    c.initlaize(0, "test", dev_.string());
    ASSERT_TRUE(c.LoadiPodDB());
    for (const char* p : {"iPod_Control/iTunes/iTunesDB", "Docs/thesis.doc", "iPod_Control/Music/F00/LINK.mp3"}) {
      TrackInfo t;
      t.sFiletype = "MP3";
      ASSERT_GT(c.AddTrack("", t, true, (dev_ / p).string(), true), 0);
    }
    c.WriteiPodDB();
    ASSERT_TRUE(c.status().ok());
  }
  struct Case {
    std::string args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"edit " + id + "--year abc", 2, "0 to 9999"},
      {"edit " + id + "--year -5", 2, "0 to 9999"},
      {"edit " + id + "--year 99999999999", 2, "0 to 9999"},
      {"edit " + id + "--skip-when-shuffling 256", 2, "not in range"},
      {"edit " + id + "--start -5", 2, "not in range"},
      {"edit " + id + "--start 5000 --stop 10", 2, "before the start"},
      {"add " + Quote((in / "empty.mp3").string()), 1, "not a valid MP3 file"},
      {"add " + Quote((in / "text.aiff").string()), 1, "not a valid AIFF file"},
      {"add " + Quote((in / "fifo.mp3").string()), 1, "Not a regular file"},
      {"add /missing_dir/", 1, "No such file"},
      {"add /etc/passwd", 1, "not a kind of file"},
      {"probe " + Quote((in / "fifo.mp3").string()), 1, "Not a regular file"},
      {"probe /missing.mp3", 1, "No such file"},
      {"rebuild", 1, "nothing was changed"},
      {"--wait 0 frobnicate", 2, ""},
  };
  const std::string db = Get(Db());
  for (const Case& k : cases) {
    SCOPED_TRACE(k.args);
    const RunResult r = Run(k.args, "timeout 20 ");
    EXPECT_EQ(r.status, k.status) << r.out;
    EXPECT_NE(r.out.find(k.says), std::string::npos) << r.out;
    EXPECT_EQ(Get(Db()), db);
  }
  // Delete the three odd tracks: they leave the database, their files stay.
  std::string odd = Ids().substr(id.size());
  const RunResult r = Run("rm " + odd);
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_NE(r.out.find("does not lie in the iPod's music folders"), std::string::npos) << r.out;
  EXPECT_EQ(Ids(), id);
  EXPECT_EQ(Get(dev_ / "Docs/thesis.doc"), "my thesis");
  EXPECT_TRUE(stdfs::is_symlink(dev_ / "iPod_Control/Music/F00/LINK.mp3"));
  EXPECT_EQ(Get(in / "ok/a.mp3"), Get(kMedia + "tagged_v24.mp3"));

  // Control characters reach the terminal as "?", JSON keeps them; text
  // given to edit is capped like imported text.
  ASSERT_EQ(Shell(cli_ + "edit " + id + "--title " + Quote("a\x1b]0;pwned\x07z") + " --album " +
                  Quote(std::string(100000, 'x'))).status, 0);
  EXPECT_NE(Shell(cli_ + "tracks").out.find("a?]0;pwned?z"), std::string::npos);
  const json j = json::parse(Shell(cli_ + "--json --no-images show " + id).out);
  EXPECT_EQ(j["sTitle"], "a\x1b]0;pwned\x07z");
  EXPECT_EQ(j["sAlbum"].get<std::string>().size(), 500u);
}

TEST_F(Reliability, ReadErrorsAreNotDamageAndDamageIsKeptBeforeARepair) {
  Put(base_ / "in/a.mp3", Get(kMedia + "tagged_v24.mp3"));
  ASSERT_EQ(Shell(cli_ + "add " + Quote((base_ / "in").string())).status, 0);
  const std::string db = Get(Db());
  auto itunes_files = [&] {
    return std::distance(stdfs::directory_iterator(Db().parent_path()), stdfs::directory_iterator());
  };
  // A database that is a folder cannot be read: no repair is offered.
  stdfs::rename(Db(), base_ / "db");
  stdfs::create_directories(Db());
  for (const char* cmd : {"--yes info", "--yes write"}) {
    const RunResult r = Run(cmd);
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_NE(r.out.find("Not a regular file"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("rebuild the DB"), std::string::npos) << r.out;
  }
  stdfs::remove(Db());
  // A damaged one: commands that read say so; a command that writes
  // repairs it when told yes, keeping the damaged file beside it.
  Put(Db(), db.substr(0, db.size() / 2));
  EXPECT_EQ(Shell(cli_ + "--yes info").status, 1);
  EXPECT_EQ(itunes_files(), 1);
  const RunResult r = Run("--yes write");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("was kept as"), std::string::npos) << r.out;
  EXPECT_EQ(itunes_files(), 2);
  EXPECT_EQ(Shell(cli_ + "info").status, 0);

  // As a user without root: an unreadable database and an unreadable folder.
  if (Shell("setpriv --help").status != 0) GTEST_SKIP() << "no setpriv";
  const std::string nobody = getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  Put(base_ / "in/locked/b.mp3", Get(kMedia + "tagged_v24.mp3"));
  Put(base_ / "in/open/c.mp3", Get(kMedia + "tagged_v23_v1.mp3"));
  Shell("chmod -R a+rwX " + Quote(base_.string()));
  stdfs::permissions(base_ / "in/locked", stdfs::perms::none);
  RunResult walk = Run("add " + Quote((base_ / "in").string()), nobody);
  EXPECT_EQ(walk.status, 3) << walk.out;
  EXPECT_NE(walk.out.find("folder not read: Permission denied"), std::string::npos) << walk.out;
  EXPECT_NE(walk.out.find("2 added"), std::string::npos) << walk.out;
  stdfs::permissions(Db(), stdfs::perms::none);
  const std::string now = Get(Db());
  walk = Run("--yes write", nobody);
  EXPECT_EQ(walk.status, 1);
  EXPECT_NE(walk.out.find("Permission denied"), std::string::npos) << walk.out;
  EXPECT_EQ(Get(Db()), now);
}

}  // namespace
}  // namespace cadenza
