// Playlists made and changed with the command-line tool, and what the iPod
// recorded itself (Play Counts, On-The-Go lists), checked against libgpod
// reading the same device.
#include <gtest/gtest.h>

#include <array>
#include <map>

#include "cadenza/library.h"
#include "tests/e2e/gpod_util.h"

namespace cadenza::e2e {
namespace {

constexpr uint32_t kMacEpoch = 2082844800;

class PlaylistsTest : public E2ETest {
 protected:
  stdfs::path Make(int tracks, int playlists) {
    dev_ = base_ / "dev";
    EXPECT_TRUE(Oracle({"make", dev_.string(), "--tracks", std::to_string(tracks), "--playlists",
                        std::to_string(playlists)}));
    return dev_;
  }
  RunResult Cli(const std::string& args) {
    return Shell("{ " + Quote(CADENZA_CLI_PATH) + " --device " + Quote(dev_.string()) + " " + args +
                 " 2>&1; }");
  }
  std::vector<int32_t> Ids() {
    Library lib(dev_.string(), opts_);
    EXPECT_TRUE(lib.Load().ok());
    std::vector<int32_t> ids;
    for (const MHIT& t : lib.tracks()) ids.push_back(t.iUniqueID);
    return ids;
  }
  // The non-title objects of the smart playlists, as stored.
  std::vector<std::string> SmartBytes() {
    Library lib(dev_.string(), opts_);
    EXPECT_TRUE(lib.Load().ok());
    std::vector<std::string> out;
    for (const MHYP& y : lib.playlists())
      if (Library::IsSmart(y))
        for (const MHOD_PCD& o : y.m_mhod_pcd) out.push_back(o.sAllMHOD.str());
    return out;
  }
  static std::map<std::string, json> Lists(const json& dump) {
    std::map<std::string, json> out;
    for (const json& p : dump["playlists"]) out[Str(p["name"])] = p["items"];
    return out;
  }
  void WriteRecord(const std::string& name, const std::string& bytes) {
    WriteBytes(dev_ / "iPod_Control/iTunes" / name, bytes);
  }
  stdfs::path dev_;
};

std::string Le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
// A "Play Counts" file of 28-byte entries: plays, last played (Unix),
// bookmark, rating, -, skips, last skipped (Unix).
std::string PlayCounts(const std::vector<std::array<uint32_t, 7>>& entries, const char* id = "mhdp") {
  std::string b = std::string(id) + Le32(0x60) + Le32(0x1C) + Le32(static_cast<uint32_t>(entries.size()));
  b.resize(0x60, '\0');
  for (const auto& e : entries)
    for (size_t k = 0; k < 7; ++k) b += Le32(e[k] && (k == 1 || k == 6) ? e[k] + kMacEpoch : e[k]);
  return b;
}
std::string OnTheGo(const std::vector<uint32_t>& positions) {
  std::string b = "mhpo" + Le32(20) + Le32(4) + Le32(static_cast<uint32_t>(positions.size())) + Le32(0);
  for (uint32_t p : positions) b += Le32(p);
  return b;
}

TEST_F(PlaylistsTest, EveryCommandReadsBackInLibgpod) {
  Make(8, 2);
  const std::vector<int32_t> id = Ids();
  const std::vector<std::string> smart = SmartBytes();
  const json before = Lists(Dump(dev_));
  ASSERT_FALSE(smart.empty());
  for (const char* cmd : {"playlist new Mix", "playlist add Mix {3} {1} {5}", "playlist move Mix {5} 1",
                          "playlist remove Mix {3}", "playlist rename 'Playlist 1' Renamed",
                          "playlist rm 'Плейлист 2 お気に入り'"}) {
    std::string c = cmd;
    for (int k : {1, 3, 5}) {
      const std::string key = "{" + std::to_string(k) + "}";
      if (size_t at = c.find(key); at != std::string::npos) c.replace(at, key.size(), std::to_string(id[k]));
    }
    ASSERT_EQ(Cli(c).status, 0) << c << ": " << Cli(c).out;
  }
  ASSERT_EQ(Cli("add --playlist Mix " + Quote(kMedia + "tagged_v24.mp3")).status, 0);
  const int32_t added = Ids().back();
  const stdfs::path m3u = base_ / "mix.m3u8";
  ASSERT_EQ(Cli("playlist export Mix " + Quote(m3u.string())).status, 0);
  ASSERT_EQ(Cli("playlist import " + Quote(m3u.string()) + " --name Copy").status, 0);
  EXPECT_NE(Cli("playlist add iPod " + std::to_string(id[0])).status, 0);
  const json lists = Dump(dev_);
  for (const json& p : lists["playlists"]) {
    if (p["is_smart"]) {
      EXPECT_NE(Cli("playlist add " + Quote(Str(p["name"])) + " 1").status, 0);
    }
  }

  std::map<std::string, json> now = Lists(Dump(dev_));
  const json mix = {id[5], id[1], added};
  EXPECT_EQ(now["Mix"], mix);
  EXPECT_EQ(now["Copy"], mix);
  EXPECT_EQ(now["Renamed"], before.at("Playlist 1"));
  EXPECT_FALSE(now.count("Playlist 1") || now.count("Плейлист 2 お気に入り"));
  EXPECT_EQ(SmartBytes(), smart);
  EXPECT_NE(Cli("playlist show Mix").out.find("Grüße aus Köln"), std::string::npos);
  // A reload and a write change nothing further.
  const std::string written = ReadBytes(Db(dev_));
  ASSERT_EQ(Cli("write").status, 0);
  EXPECT_EQ(ReadBytes(Db(dev_)), written);
}

TEST_F(PlaylistsTest, DevicePlaysLandOnTheirTracksAndAreLogged) {
  Make(3, 0);
  const std::vector<int32_t> id = Ids();
  std::vector<std::array<uint32_t, 7>> entries(id.size());
  entries[0] = {2, 1700000000, 0, 80, 0, 1, 1700000100};
  entries[2] = {5, 1700005000, 4321, 40, 0, 0, 0};
  WriteRecord("Play Counts", PlayCounts(entries));
  std::map<int, json> expected;  // libgpod merges Play Counts as it reads
  const json merged = Dump(dev_);
  for (const json& t : merged["tracks"]) expected[t["id"].get<int>()] = t;
  ASSERT_EQ(expected[id[2]]["bookmark_time"], 4321);
  ASSERT_EQ(Cli("rm " + std::to_string(id[0])).status, 0);
  EXPECT_FALSE(stdfs::exists(dev_ / "iPod_Control/iTunes/Play Counts"));
  const json after = Dump(dev_);
  ASSERT_EQ(after["tracks"].size(), id.size() - 1);
  for (const json& t : after["tracks"])
    for (const char* f : {"playcount", "rating", "skipcount", "time_played", "bookmark_time"})
      EXPECT_EQ(t[f], expected[t["id"].get<int>()][f]) << f << " of track " << t["id"];

  const stdfs::path log = base_ / "scrobbler.log";
  ASSERT_EQ(Cli("plays --scrobbler-log " + Quote(log.string())).status, 0);
  const std::string text = ReadBytes(log);
  EXPECT_EQ(text.rfind("#AUDIOSCROBBLER/1.1\n#TZ/UNKNOWN\n#CLIENT/Cadenza ", 0), 0u);
  size_t listens = 0;
  for (size_t at = 0; (at = text.find("\tL\t", at)) != std::string::npos; ++at) ++listens;
  EXPECT_EQ(listens, 7u);
  EXPECT_NE(text.find("\tL\t1700005000\t\n"), std::string::npos);
  ASSERT_EQ(Cli("plays --clear").status, 0);
  EXPECT_EQ(Cli("--json plays").out, "[]\n");
}

TEST_F(PlaylistsTest, RecordsThatDoNotFitAreKeptAsideWithAWarning) {
  for (const std::string& bad :
       {PlayCounts({{1, 1700000000, 0, 20, 0, 0, 0}}), PlayCounts(std::vector<std::array<uint32_t, 7>>(20)),
        PlayCounts({{1, 0, 0, 0, 0, 0, 0}}, "mhdx"),
        std::string("mhdp")}) {
    stdfs::remove_all(base_ / "dev");
    Make(3, 0);
    const json before = Dump(dev_)["tracks"];
    WriteRecord("Play Counts", bad);
    EXPECT_NE(Cli("tracks").out.find("warning: The iPod's Play Counts file was not merged"),
              std::string::npos);
    ASSERT_EQ(Cli("write").status, 0);
    const json after = Dump(dev_)["tracks"];
    for (size_t k = 0; k < before.size(); ++k) EXPECT_EQ(after[k]["playcount"], before[k]["playcount"]);
    EXPECT_EQ(ReadBytes(dev_ / "iPod_Control/iTunes/Play Counts.unmerged"), bad);
  }
}

TEST_F(PlaylistsTest, OnTheGoListsBecomePlaylists) {
  Make(4, 0);
  const std::vector<int32_t> id = Ids();
  WriteRecord("OTGPlaylistInfo", OnTheGo({2, 0, 99}));
  WriteRecord("OTGPlaylistInfo_1", OnTheGo({3}));
  EXPECT_NE(Cli("write").out.find("names track position 99"), std::string::npos);
  std::map<std::string, json> lists = Lists(Dump(dev_));
  EXPECT_EQ(lists["On-The-Go 1"], json({id[2], id[0]}));
  EXPECT_EQ(lists["On-The-Go 2"], json({id[3]}));
  EXPECT_FALSE(stdfs::exists(dev_ / "iPod_Control/iTunes/OTGPlaylistInfo"));
  EXPECT_FALSE(stdfs::exists(dev_ / "iPod_Control/iTunes/OTGPlaylistInfo_1"));
}

}  // namespace
}  // namespace cadenza::e2e
