// Runs the gpod_oracle tool the way the database tests do: build a device
// folder with libgpod, read it back, and look at the bytes it wrote.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

struct RunResult {
  int status = -1;
  std::string out;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

RunResult Oracle(const std::vector<std::string>& args) {
  std::string cmd = Quote(GPOD_ORACLE_PATH);
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " 2>/dev/null";
  RunResult r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::vector<uint8_t> ReadBytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Little-endian 32-bit read; nullopt past the end.
std::optional<uint32_t> U32(const std::vector<uint8_t>& b, size_t at) {
  if (at > b.size() || b.size() - at < 4) return std::nullopt;
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

bool TagAt(const std::vector<uint8_t>& b, size_t at, const char* tag) {
  return at + 4 <= b.size() && std::equal(tag, tag + 4, b.begin() + static_cast<std::ptrdiff_t>(at));
}

struct Section {
  uint32_t type;
  size_t begin, end;
};

// Walks the header and the sections; fails the test on any bad size.
std::vector<Section> Sections(const std::vector<uint8_t>& b) {
  std::vector<Section> out;
  EXPECT_TRUE(TagAt(b, 0, "mhbd"));
  auto header = U32(b, 4), total = U32(b, 8), count = U32(b, 20);
  if (!header || !total || !count) {
    ADD_FAILURE() << "short header";
    return out;
  }
  EXPECT_EQ(*total, b.size());
  size_t pos = *header;
  for (uint32_t i = 0; i < *count; ++i) {
    auto size = U32(b, pos + 8), type = U32(b, pos + 12);
    if (!TagAt(b, pos, "mhsd") || !size || !type || *size < 16 || *size > b.size() - pos) {
      ADD_FAILURE() << "bad section at " << pos;
      return out;
    }
    out.push_back({*type, pos, pos + *size});
    pos += *size;
  }
  EXPECT_EQ(pos, b.size());
  return out;
}

// The data object types found in [begin, end), by scanning for "mhod".
std::set<uint32_t> DataObjectTypes(const std::vector<uint8_t>& b, size_t begin, size_t end) {
  std::set<uint32_t> types;
  for (size_t i = begin; i + 16 <= end; ++i)
    if (TagAt(b, i, "mhod")) types.insert(*U32(b, i + 12));
  return types;
}

class GpodOracleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "gpod_oracle_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path Dir(const std::string& name) const { return root_ / name; }
  static fs::path Db(const fs::path& dir) { return dir / "iPod_Control" / "iTunes" / "iTunesDB"; }

  json Dump(const fs::path& path) {
    RunResult r = Oracle({"dump", path.string()});
    EXPECT_EQ(r.status, 0);
    return json::parse(r.out, nullptr, /*allow_exceptions=*/false);
  }

  fs::path root_;
};

const json* FindPlaylist(const json& dump, const std::string& name) {
  for (const auto& p : dump["playlists"])
    if (p["name"] == name) return &p;
  return nullptr;
}

TEST_F(GpodOracleTest, MakeThenDumpKeepsTagsPlaylistsPodcastsAndRules) {
  fs::path dev = Dir("dev");
  ASSERT_EQ(Oracle({"make", dev.string(), "--tracks", "12", "--playlists", "3", "--podcasts", "--smart",
                 "--nonlatin"}).status, 0);
  EXPECT_TRUE(fs::exists(dev / "iPod_Control" / "Device" / "SysInfo"));
  EXPECT_TRUE(fs::is_directory(dev / "iPod_Control" / "Music" / "F00"));
  json d = Dump(dev);
  ASSERT_TRUE(d.is_object());
  ASSERT_EQ(d["track_count"], 18);  // 12 songs and 6 episodes
  ASSERT_EQ(d["tracks"].size(), 18u);

  const json& first = d["tracks"][0];
  EXPECT_EQ(first["title"], "Blue Paper 1");
  EXPECT_EQ(first["artist"], "The Beatles");
  EXPECT_EQ(first["genre"], "Rock");
  EXPECT_EQ(first["ipod_path"], ":iPod_Control:Music:F00:T00001.mp3");
  EXPECT_EQ(first["samplerate"], 44100);
  EXPECT_EQ(first["bitrate"], 320);
  EXPECT_EQ(first["year"], 1960);
  EXPECT_EQ(first["mediatype"], 1);
  EXPECT_EQ(first["dbid"].get<std::string>().size(), 16u);

  // Text outside Latin-1, including a character beyond the 16-bit plane.
  std::set<std::string> titles;
  for (const auto& t : d["tracks"]) titles.insert(t["title"].get<std::string>());
  EXPECT_TRUE(titles.count("夜に駆ける 2"));
  EXPECT_TRUE(titles.count("Кино — Группа крови 5"));
  EXPECT_TRUE(titles.count("Café déjà vu 8"));
  EXPECT_TRUE(titles.count("Happy 🎵 Song 🎸 11"));
  EXPECT_EQ(d["tracks"][1]["comment"], "コメント: ünïcödé ✓");

  // Ids are unique; the master lists every track in track order.
  std::vector<uint32_t> ids;
  for (const auto& t : d["tracks"]) ids.push_back(t["id"]);
  EXPECT_EQ(std::set<uint32_t>(ids.begin(), ids.end()).size(), ids.size());
  const json& master = d["playlists"][0];
  EXPECT_TRUE(master["is_master"].get<bool>());
  EXPECT_EQ(master["items"].get<std::vector<uint32_t>>(), ids);

  const json* pl2 = FindPlaylist(d, "Плейлист 2 お気に入り");
  ASSERT_NE(pl2, nullptr);
  EXPECT_FALSE((*pl2)["items"].empty());

  const json* pods = FindPlaylist(d, "Podcasts");
  ASSERT_NE(pods, nullptr);
  EXPECT_TRUE((*pods)["is_podcasts"].get<bool>());
  EXPECT_EQ((*pods)["items"].size(), 6u);
  int episodes = 0;
  for (const auto& t : d["tracks"]) {
    if (t["mediatype"] == 4) {
      ++episodes;
      EXPECT_EQ(t["mark_unplayed"], 2);
      EXPECT_NE(t["podcastrss"], nullptr);
    }
  }
  EXPECT_EQ(episodes, 6);

  const json* jazz = FindPlaylist(d, "Jazz Picks");
  ASSERT_NE(jazz, nullptr);
  EXPECT_TRUE((*jazz)["is_smart"].get<bool>());
  ASSERT_EQ((*jazz)["rules"].size(), 2u);
  EXPECT_EQ((*jazz)["rules"][0]["string"], "Davis");
  EXPECT_EQ((*jazz)["match_operator"], 1);
  const json* years = FindPlaylist(d, "Seventies and Eighties");
  ASSERT_NE(years, nullptr);
  EXPECT_EQ((*years)["rules"][0]["fromvalue"], 1970);
  EXPECT_EQ((*years)["splpref"]["limitvalue"], 25);
  std::set<uint32_t> in_range, listed;
  for (const auto& t : d["tracks"])
    if (t["year"] >= 1970 && t["year"] <= 1989) in_range.insert(t["id"].get<uint32_t>());
  for (const auto& id : (*years)["items"]) listed.insert(id.get<uint32_t>());
  EXPECT_FALSE(in_range.empty());
  EXPECT_EQ(listed, in_range);
}

TEST_F(GpodOracleTest, WritesModernSectionsAndDataObjects) {
  fs::path dev = Dir("dev");
  ASSERT_EQ(Oracle({"make", dev.string(), "--tracks", "8", "--podcasts", "--smart"}).status, 0);
  std::vector<uint8_t> b = ReadBytes(Db(dev));
  ASSERT_GE(b.size(), 244u);
  EXPECT_EQ(*U32(b, 4), 244u);  // header size of a modern database
  std::vector<Section> sections = Sections(b);
  std::vector<uint32_t> types;
  for (const auto& s : sections) types.push_back(s.type);
  ASSERT_GE(types.size(), 5u);
  EXPECT_EQ(std::vector<uint32_t>(types.begin(), types.begin() + 4), (std::vector<uint32_t>{1, 3, 2, 4}));
  EXPECT_NE(std::find(types.begin(), types.end(), 5u), types.end());

  for (const auto& s : sections) {
    std::set<uint32_t> objects = DataObjectTypes(b, s.begin, s.end);
    if (s.type == 1) {
      for (uint32_t t : {1u, 2u, 3u, 4u, 5u, 8u, 12u}) EXPECT_TRUE(objects.count(t)) << t;
    } else if (s.type == 2 || s.type == 3) {
      for (uint32_t t : {1u, 50u, 51u, 52u, 53u, 100u}) EXPECT_TRUE(objects.count(t)) << t;
    }
  }
  // The database file name the device software uses can be made as well.
  fs::path named = Dir("named");
  ASSERT_EQ(Oracle({"make", named.string(), "--tracks", "3", "--as", "Cadenza"}).status, 0);
  fs::path copy = named / "iPod_Control" / "iTunes" / "Cadenza";
  EXPECT_EQ(ReadBytes(copy), ReadBytes(Db(named)));
  EXPECT_EQ(Dump(copy)["track_count"], 3);
}

TEST_F(GpodOracleTest, SameArgumentsWriteSameBytes) {
  for (const char* name : {"a", "b"})
    ASSERT_EQ(Oracle({"make", Dir(name).string(), "--tracks", "10", "--playlists", "2", "--podcasts",
                   "--smart", "--nonlatin"}).status, 0);
  std::vector<uint8_t> a = ReadBytes(Db(Dir("a"))), b = ReadBytes(Db(Dir("b")));
  ASSERT_FALSE(a.empty());
  EXPECT_TRUE(a == b);
}

TEST_F(GpodOracleTest, SynthAndBenchRoundTrip) {
  fs::path dev = Dir("synth");
  ASSERT_EQ(Oracle({"synth", dev.string(), "--tracks", "300"}).status, 0);
  json before = Dump(dev);
  ASSERT_TRUE(before.is_object());
  EXPECT_EQ(before["track_count"], 300);
  EXPECT_EQ(before["playlist_count"], 21);  // master, 19 mixes, podcasts
  EXPECT_EQ(before["playlists"][0]["items"].size(), 300u);
  const json* pods = FindPlaylist(before, "Podcasts");
  ASSERT_NE(pods, nullptr);
  EXPECT_EQ((*pods)["items"].size(), 5u);

  RunResult r = Oracle({"bench", dev.string()});
  ASSERT_EQ(r.status, 0);
  json bench = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(bench.is_object());
  EXPECT_EQ(bench["tracks"], 300);
  EXPECT_GE(bench["parse_s"].get<double>(), 0.0);
  EXPECT_GT(bench["write_s"].get<double>(), 0.0);
  // libgpod rewrote the file in place; it still reads the same.
  EXPECT_EQ(Dump(dev), before);
}

TEST_F(GpodOracleTest, BadInputFailsWithoutOutput) {
  EXPECT_EQ(Oracle({"dump", Dir("missing").string()}).status, 1);
  fs::create_directories(Dir("empty"));
  EXPECT_EQ(Oracle({"dump", Dir("empty").string()}).status, 1);

  std::ofstream(Dir("junk"), std::ios::binary) << std::string(3000, '\x5a');
  RunResult junk = Oracle({"dump", Dir("junk").string()});
  EXPECT_EQ(junk.status, 1);
  EXPECT_TRUE(junk.out.empty());

  fs::path dev = Dir("dev");
  ASSERT_EQ(Oracle({"make", dev.string(), "--tracks", "5"}).status, 0);
  std::vector<uint8_t> whole = ReadBytes(Db(dev));
  std::ofstream(Dir("cut"), std::ios::binary)
      .write(reinterpret_cast<const char*>(whole.data()), static_cast<std::streamsize>(whole.size() / 2));
  EXPECT_EQ(Oracle({"dump", Dir("cut").string()}).status, 1);

  EXPECT_EQ(Oracle({"make", Dir("x").string(), "--tracks", "many"}).status, 1);
  EXPECT_EQ(Oracle({"make", Dir("x").string(), "--bogus"}).status, 1);
  EXPECT_EQ(Oracle({"make", Dir("x").string(), "--model", "xZZZZ"}).status, 1);
  EXPECT_EQ(Oracle({"frobnicate", Dir("x").string()}).status, 2);
}

}  // namespace
