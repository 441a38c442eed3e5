// Never losing music: real cadenza processes started together, killed at
// random moments, run on a full file system and given bad input; two
// objects in two threads writing one device.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "tests/e2e/e2e_util.h"

namespace cadenza::e2e {
namespace {

using json = nlohmann::json;

class Reliability : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    dev_ = base_ / "ipod";
    ASSERT_EQ(Shell(Quote(CADENZA_CLI_PATH) + " init " + Quote(dev_.string())).status, 0);
  }
  std::string Cli() const {
    return Quote(CADENZA_CLI_PATH) + " --device " + Quote(dev_.string()) + " ";
  }
  // The tool on the device; its standard output and error together.
  RunResult Run(const std::string& args, const std::string& prefix = "") {
    return Shell("{ " + prefix + Cli() + args + " 2>&1; }");
  }
  // `n` copies of a small MP3 in `dir`.
  void Copies(const stdfs::path& dir, int n) {
    stdfs::create_directories(dir);
    for (int i = 0; i < n; ++i)
      stdfs::copy_file(kMedia + "mp1l3_cbr64_mono.mp3", dir / ("T" + std::to_string(i) + ".mp3"));
  }
  json Tracks() { return json::parse(Shell(Cli() + "--json --no-images tracks").out)["m_mhlt"]; }
  std::string Ids() {
    std::string ids;
    const json tracks = Tracks();
    for (const json& t : tracks["m_mhit"]) ids += std::to_string(t["iUniqueID"].get<int>()) + " ";
    return ids;
  }
  // Listed tracks whose file is not on the device, seen on the disk itself.
  int Missing() {
    int missing = 0;
    const json tracks = Tracks();
    for (const json& t : tracks["m_mhit"])
      for (const json& o : t["m_mhod"])
        if (o["iType"] == 2) {
          std::string rel = o["sString"];
          std::replace(rel.begin(), rel.end(), ':', '/');
          missing += !stdfs::is_regular_file(dev_.string() + rel);
        }
    return missing;
  }
  // The tool's check finds every track's file and every file listed.
  bool InStep() { return Shell(Cli() + "check").status == 0; }

  stdfs::path dev_;
};

TEST_F(Reliability, ConcurrentWritersNeverLoseAnUpdate) {
  Copies(base_ / "src", 10);
  ASSERT_EQ(Shell(Cli() + "add --allow-duplicates " + Quote((base_ / "src/T0.mp3").string())).status, 0);
  const std::string first = Ids();
  int expected = 1;
  std::string title;
  for (int round = 1; round < 10; ++round) {
    // An import, an edit of the first track and a delete of the track the
    // last round added, started together: each is done or refused as busy.
    const std::string last = Ids().substr(first.size());
    const std::string cmds[] = {
        "add --allow-duplicates " + Quote((base_ / "src" / ("T" + std::to_string(round) + ".mp3")).string()),
        "edit " + first + "--title R" + std::to_string(round),
        last.empty() ? std::string("info") : "rm " + last};
    std::string script;
    for (int k = 0; k < 3; ++k)
      script += "(" + Cli() + cmds[k] + " >/dev/null 2>&1; echo $? >" +
                Quote((base_ / std::to_string(k)).string()) + ") & ";
    Shell(script + "wait");
    int rc[3];
    for (int k = 0; k < 3; ++k) {
      rc[k] = std::stoi(ReadBytes(base_ / std::to_string(k)));
      EXPECT_TRUE(rc[k] == 0 || rc[k] == 4) << cmds[k] << ": " << rc[k];
    }
    expected += (rc[0] == 0) - (rc[2] == 0 && !last.empty());
    if (rc[1] == 0) title = "R" + std::to_string(round);
    EXPECT_TRUE(InStep()) << round;
    EXPECT_EQ(Tracks()["iNumberOfllTracks"], expected) << round;
    EXPECT_TRUE(title.empty() ||
                Shell(Cli() + "show " + first).out.find(title) != std::string::npos);
  }

  // Two objects of one process, each editing its own track: a write that
  // would overwrite the other's is refused, never silent.
  Shell(Cli() + "add --allow-duplicates " + Quote((base_ / "src/T1.mp3").string()));
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
      if (c.status().ok()) {
        last_written[w] = info.sTitle;
      } else {
        EXPECT_EQ(c.status().code(), Status::Code::kBusy) << c.status().message();
      }
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
  const std::pair<std::string, int> steps[] = {
      // a command, and the tracks after it
      {"--yes rebuild", kOnDevice},
      {"rm " + all_ids, 0},
      {"add --allow-duplicates " + Quote((base_ / "src").string()), kOnDevice + kToAdd}};
  const stdfs::path db = Db(dev_);
  std::mt19937 rng(42);
  for (const auto& [cmd, after] : steps) {
    for (int trial = 0; trial < 5; ++trial) {
      SCOPED_TRACE(cmd.substr(0, 12) + " trial " + std::to_string(trial));
      stdfs::remove_all(dev_ / "iPod_Control/Music");
      Copies(dev_ / "iPod_Control/Music/F00", kOnDevice);
      ASSERT_EQ(Shell(Cli() + "--yes rebuild").status, 0);
      const std::string before = ReadBytes(db);
      const pid_t pid = fork();
      if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + Cli() + cmd + " >/dev/null 2>&1").c_str(), nullptr);
        _exit(127);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 250));
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      // A kill may leave files that no track lists, and the leftovers of a
      // write; never a track without its file. A repair puts all in step.
      EXPECT_TRUE(ReadBytes(db) == before || Tracks()["iNumberOfllTracks"] == after);
      EXPECT_EQ(Missing(), 0);
      EXPECT_EQ(Shell(Cli() + "check --repair --remove").status, 0);
      EXPECT_TRUE(InStep());
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
  const RunResult r =
      Shell("unshare -rm sh -c " +
            Quote("mount -t tmpfs -o size=1m none " + mnt + " || exit 99; " +
                  Quote(CADENZA_CLI_PATH) + " init " + mnt + "/ipod >/dev/null; " + cli + "add --allow-duplicates " +
                  base_.string() + "/src; echo \"add $?\"; cp -a " + mnt + "/ipod " + out +
                  "/added; " + "head -c 2000000 /dev/zero >" + mnt + "/filler; " + cli +
                  "--yes rebuild >/dev/null 2>&1; echo \"rebuild $?\"; cp -a " + mnt + "/ipod " +
                  out + "/rebuilt"));
  if (r.status == 99) GTEST_SKIP() << "tmpfs cannot be mounted here";
  EXPECT_NE(r.out.find("(the iPod is full)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("add 3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rebuild 1"), std::string::npos) << r.out;
  for (const char* copy : {"added", "rebuilt"}) {
    SCOPED_TRACE(copy);
    dev_ = base_ / "out" / copy;
    EXPECT_TRUE(InStep());
    EXPECT_GT(Tracks()["iNumberOfllTracks"], 10);
    EXPECT_LT(Tracks()["iNumberOfllTracks"], 80);
  }
  EXPECT_EQ(ReadBytes(Db(base_ / "out/added")), ReadBytes(Db(base_ / "out/rebuilt")));
}

TEST_F(Reliability, BadInputIsRefusedAndChangesNothing) {
  const stdfs::path in = base_ / "in";
  WriteBytes(in / "text.aiff", "words, not sound\n");
  ASSERT_EQ(mkfifo((in / "fifo.mp3").c_str(), 0600), 0);
  WriteBytes(in / "ok/a.mp3", ReadBytes(kMedia + "tagged_v24.mp3"));
  WriteBytes(in / "ok/notes.txt", "x");
  const RunResult added = Run("add --allow-duplicates " + Quote((in / "ok").string()));
  ASSERT_EQ(added.status, 0) << added.out;
  EXPECT_NE(added.out.find("1 added, 1 not supported, 0 failed"), std::string::npos) << added.out;
  EXPECT_EQ(Tracks()["m_mhit"][0]["sFiletype"], "4d503320");  // "MP3 ", printed as hex
  const std::string id = Ids();
  // Tracks whose stored location is no music file: the database itself, a
  // document elsewhere on the device, a link out of the music folder.
  WriteBytes(dev_ / "Docs/thesis.doc", "my thesis");
  stdfs::create_directories(dev_ / "iPod_Control/Music/F00");
  stdfs::create_symlink(in / "ok/a.mp3", dev_ / "iPod_Control/Music/F00/LINK.mp3");
  {
    clsCadenza c;
    c.initlaize(0, "test", dev_.string());
    ASSERT_TRUE(c.LoadiPodDB());
    for (const char* p :
         {"iPod_Control/iTunes/iTunesDB", "Docs/thesis.doc", "iPod_Control/Music/F00/LINK.mp3"}) {
      TrackInfo t;
      t.sFiletype = "MP3";
      ASSERT_GT(c.AddTrack("", t, true, (dev_ / p).string(), true), 0);
    }
    c.WriteiPodDB();
    ASSERT_TRUE(c.status().ok());
  }
  const struct {
    std::string args;
    int status;
    std::string says;
  } cases[] = {
      {"edit " + id + "--year abc", 2, "0 to 9999"},
      {"edit " + id + "--year 99999999999", 2, "0 to 9999"},
      {"edit " + id + "--skip-when-shuffling 256", 2, "not in range"},
      {"edit " + id + "--start -5", 2, "not in range"},
      {"edit " + id + "--start 5000 --stop 10", 2, "before the start"},
      {"edit 9999 --title x", 1, "No track has the id 9999"},
      {"rm 9999", 1, "No track has the id 9999"},
      {"add --allow-duplicates " + Quote((in / "text.aiff").string()), 1, "not a valid AIFF file"},
      {"add /missing_dir/", 1, "No such file"},
      {"add /etc/passwd", 1, "not a kind of file"},
      {"probe " + Quote((in / "fifo.mp3").string()), 1, "Not a regular file"},
      {"rebuild", 1, "nothing was changed"},
      {"--wait 0 frobnicate", 2, ""},
  };
  const std::string db = ReadBytes(Db(dev_));
  for (const auto& k : cases) {
    SCOPED_TRACE(k.args);
    const RunResult r = Run(k.args, "timeout 20 ");
    EXPECT_EQ(r.status, k.status) << r.out;
    EXPECT_NE(r.out.find(k.says), std::string::npos) << r.out;
    EXPECT_TRUE(ReadBytes(Db(dev_)) == db);
  }
  // Delete the three odd tracks: they leave the database, their files stay.
  const RunResult r = Run("rm " + Ids().substr(id.size()));
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_NE(r.out.find("does not lie in the iPod's music folders"), std::string::npos) << r.out;
  EXPECT_EQ(Ids(), id);
  EXPECT_EQ(ReadBytes(dev_ / "Docs/thesis.doc"), "my thesis");
  EXPECT_TRUE(stdfs::is_symlink(dev_ / "iPod_Control/Music/F00/LINK.mp3"));
  EXPECT_EQ(ReadBytes(in / "ok/a.mp3"), ReadBytes(kMedia + "tagged_v24.mp3"));

  // Control characters reach the terminal as "?", JSON keeps them; text
  // given to edit is capped like imported text.
  ASSERT_EQ(Shell(Cli() + "edit " + id + "--title " + Quote("a\x1b]0;pwned\x07z") + " --album " +
                  Quote(std::string(100000, 'x')))
                .status,
            0);
  EXPECT_NE(Shell(Cli() + "tracks").out.find("a?]0;pwned?z"), std::string::npos);
  const json j = json::parse(Shell(Cli() + "--json --no-images show " + id).out);
  EXPECT_EQ(j["sTitle"], "a\x1b]0;pwned\x07z");
  EXPECT_EQ(j["sAlbum"].get<std::string>().size(), 500u);
}

TEST_F(Reliability, ReadErrorsAreNotDamageAndDamageIsKeptBeforeARepair) {
  WriteBytes(base_ / "in/a.mp3", ReadBytes(kMedia + "tagged_v24.mp3"));
  ASSERT_EQ(Shell(Cli() + "add --allow-duplicates " + Quote((base_ / "in").string())).status, 0);
  const stdfs::path db = Db(dev_);
  const std::string bytes = ReadBytes(db);
  auto itunes_files = [&] {
    return std::distance(stdfs::directory_iterator(db.parent_path()), stdfs::directory_iterator());
  };
  // A database that is a folder cannot be read: no repair is offered.
  stdfs::remove(db);
  stdfs::create_directories(db);
  for (const char* cmd : {"--yes info", "--yes write"}) {
    const RunResult r = Run(cmd);
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_NE(r.out.find("Not a regular file"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("rebuild the DB"), std::string::npos) << r.out;
  }
  stdfs::remove(db);
  // A damaged one: commands that read say so, as does a write told no; a
  // write told yes repairs it, keeping the damaged file beside it.
  const std::string damaged = bytes.substr(0, bytes.size() / 2);
  WriteBytes(db, damaged);
  for (const char* cmd : {"--yes info", "--no info", "--no write"}) {
    EXPECT_EQ(Shell(Cli() + cmd).status, 1) << cmd;
    EXPECT_TRUE(ReadBytes(db) == damaged) << cmd;
    EXPECT_EQ(itunes_files(), 1) << cmd;
  }
  const RunResult r = Run("--yes write");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("was kept as"), std::string::npos) << r.out;
  EXPECT_EQ(itunes_files(), 2);
  EXPECT_EQ(Shell(Cli() + "info").status, 0);

  // As a user without root: an unreadable folder.
  if (Shell("setpriv --help").status != 0) GTEST_SKIP() << "no setpriv";
  const std::string nobody =
      getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  WriteBytes(base_ / "in/locked/b.mp3", ReadBytes(kMedia + "tagged_v24.mp3"));
  WriteBytes(base_ / "in/open/c.mp3", ReadBytes(kMedia + "tagged_v23_v1.mp3"));
  Shell("chmod -R a+rwX " + Quote(base_.string()));
  stdfs::permissions(base_ / "in/locked", stdfs::perms::none);
  const RunResult walk = Run("add --allow-duplicates " + Quote((base_ / "in").string()), nobody);
  EXPECT_EQ(walk.status, 3) << walk.out;
  EXPECT_NE(walk.out.find("folder not read: Permission denied"), std::string::npos) << walk.out;
  EXPECT_NE(walk.out.find("2 added"), std::string::npos) << walk.out;
}

}  // namespace
}  // namespace cadenza::e2e
