// Interoperability with libgpod, an independent implementation of the
// database format: databases libgpod writes survive a load and write here
// unchanged, and what is written here after edits reads back in libgpod as
// the same tracks and playlists.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cadenza/cadenza.h"
#include "db/hash58.h"
#include "platform/text.h"
#include "testing/scripted_host.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using json = nlohmann::json;

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs gpod_oracle; returns its standard output, or nullopt when it failed.
std::optional<std::string> Oracle(const std::vector<std::string>& args) {
  std::string cmd = Quote(GPOD_ORACLE_PATH);
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return std::nullopt;
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return std::nullopt;
  return out;
}

std::string Get(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

uint32_t U32(std::string_view b, size_t at) {
  if (at + 4 > b.size()) return 0;
  return uint32_t{static_cast<uint8_t>(b[at])} | uint32_t{static_cast<uint8_t>(b[at + 1])} << 8 |
         uint32_t{static_cast<uint8_t>(b[at + 2])} << 16 |
         uint32_t{static_cast<uint8_t>(b[at + 3])} << 24;
}

struct Section {
  uint32_t type;
  std::string bytes;
};

// The header and the sections of a database file, in file order.
std::vector<Section> Sections(const std::string& b, std::string* header) {
  std::vector<Section> out;
  const uint32_t hs = U32(b, 4), count = U32(b, 20);
  *header = b.substr(0, hs);
  size_t at = hs;
  for (uint32_t i = 0; i < count && at + 16 <= b.size(); ++i) {
    EXPECT_EQ(b.substr(at, 4), "mhsd");
    const uint32_t total = U32(b, at + 8);
    if (total < 16 || total > b.size() - at) {
      ADD_FAILURE() << "section " << i << " has a bad size";
      break;
    }
    out.push_back({U32(b, at + 12) & 0xFFFF, b.substr(at, total)});
    at += total;
  }
  return out;
}

class InteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = stdfs::temp_directory_path() /
            ("cadenza_interop_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    stdfs::remove_all(root_);
    stdfs::create_directories(root_ / "nosys");
    std::ofstream(root_ / "mountinfo").flush();
    opts_.sysfs_root = (root_ / "nosys").string();
    opts_.mountinfo_path = (root_ / "mountinfo").string();
    SetCancelRequest(0);
  }
  void TearDown() override { stdfs::remove_all(root_); }

  // A device folder written by libgpod.
  stdfs::path Make(const std::string& name, std::vector<std::string> args) {
    stdfs::path dir = root_ / name;
    args.insert(args.begin(), {"make", dir.string()});
    EXPECT_TRUE(Oracle(args).has_value()) << "gpod_oracle make " << name;
    return dir;
  }
  std::unique_ptr<clsCadenza> Open(const stdfs::path& dir) {
    auto c = std::make_unique<clsCadenza>(&host_, opts_);
    c->initlaize(0, "Test", dir.string() + "/");
    return c;
  }
  static json Dump(const stdfs::path& dir) {
    auto out = Oracle({"dump", dir.string()});
    if (!out) {
      ADD_FAILURE() << "libgpod cannot read " << dir;
      return json::object();
    }
    return json::parse(*out);
  }

  stdfs::path root_;
  Options opts_;
  ScriptedHost host_;
};

TEST_F(InteropTest, LibgpodDatabasesComeBackUnchangedAfterALoadAndWrite) {
  struct Case {
    std::string name;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      {"plain", {"--tracks", "7", "--playlists", "2"}},
      {"empty", {"--tracks", "0", "--playlists", "0"}},
      {"podcasts", {"--tracks", "12", "--playlists", "3", "--podcasts"}},
      {"smart", {"--tracks", "9", "--playlists", "2", "--smart"}},
      {"nonlatin", {"--tracks", "8", "--playlists", "1", "--nonlatin"}},
      {"all", {"--tracks", "25", "--playlists", "4", "--podcasts", "--smart", "--nonlatin"}},
      {"large", {"--tracks", "800", "--playlists", "3", "--podcasts"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::vector<std::string> args = k.args;
    args.insert(args.end(), {"--model", "xA147"});
    const stdfs::path dir = Make(k.name, args);
    const stdfs::path db = dir / "iPod_Control/iTunes/iTunesDB";
    const std::string before = Get(db);
    ASSERT_FALSE(before.empty());
    const json dump_before = Dump(dir);

    auto c = Open(dir);
    ASSERT_TRUE(c->LoadiPodDB()) << c->status().message();
    c->WriteiPodDB();
    ASSERT_TRUE(c->status().ok()) << c->status().message();
    const std::string after = Get(db);

    std::string h1, h2;
    std::vector<Section> s1 = Sections(before, &h1), s2 = Sections(after, &h2);
    std::vector<uint32_t> order;
    for (const Section& s : s1) order.push_back(s.type);
    if (order == std::vector<uint32_t>{1, 3, 2, 4, 5}) {
      EXPECT_EQ(after, before);
    } else {
      EXPECT_EQ(after.size(), before.size());
      EXPECT_EQ(h2, h1);
    }
    // Every section, whatever the order, is the same bytes.
    ASSERT_EQ(s2.size(), s1.size());
    std::map<uint32_t, std::string> by_type;
    for (const Section& s : s2) by_type[s.type] = s.bytes;
    for (const Section& s : s1) {
      ASSERT_TRUE(by_type.count(s.type)) << "section " << s.type << " lost";
      EXPECT_TRUE(by_type[s.type] == s.bytes) << "section " << s.type << " differs";
    }
    // The kinds of content the case is about are really there.
    std::set<uint32_t> types(order.begin(), order.end());
    EXPECT_TRUE(types.count(1) && types.count(2) && types.count(3));
    if (k.name == "all") {
      EXPECT_TRUE(types.count(4) && types.count(5)) << "album and smart sections";
      // Podcast groups (items with a title object instead of an order
      // entry), smart playlists (objects 50 to 53) and sort indexes (52,
      // 53) went through the load and write.
      bool group = false;
      for (const MHYP& y : c->GetAllPodcasts().m_mhlp.m_mhyp)
        for (const MHIP& i : y.m_mhip) group = group || i.iPodCastGroupFlag != 0;
      EXPECT_TRUE(group);
      std::set<int32_t> kinds;
      for (const MHYP& y : c->GetAllPlayLists().m_mhlp.m_mhyp)
        for (const MHOD_PCD& o : y.m_mhod_pcd) kinds.insert(o.iType);
      for (int32_t kind : {50, 51, 52, 100}) EXPECT_TRUE(kinds.count(kind)) << "object " << kind;
    }
    EXPECT_EQ(Dump(dir), dump_before);

    // The same sections put in the order written here (1, 3, 2, 4, 5, then
    // the others as found) come back as the whole file, byte for byte.
    std::string reordered = h1;
    for (uint32_t type : {1u, 3u, 2u, 4u, 5u})
      for (const Section& s : s1)
        if (s.type == type) reordered += s.bytes;
    for (const Section& s : s1)
      if (s.type < 1 || s.type > 5) reordered += s.bytes;
    ASSERT_EQ(reordered.size(), before.size());
    { std::ofstream(db, std::ios::binary | std::ios::trunc) << reordered; }
    auto again = Open(dir);
    ASSERT_TRUE(again->LoadiPodDB());
    again->WriteiPodDB();
    ASSERT_TRUE(again->status().ok()) << again->status().message();
    EXPECT_TRUE(Get(db) == reordered) << "the file in the written order changed";
    EXPECT_EQ(Dump(dir), dump_before);
  }
}

TEST_F(InteropTest, SignedDatabasesAreReproducedExactly) {
  // libgpod signs the database of a classic or a nano 3G with the GUID it
  // writes to SysInfo; loading and writing it here signs it again with the
  // same GUID.
  hash58::Guid guid;
  ASSERT_TRUE(hash58::ParseGuid("0x000A27001A2B3C4D", &guid).ok());
  for (const char* model : {"xB029", "xA978"}) {
    SCOPED_TRACE(model);
    const stdfs::path dir = Make(model, {"--tracks", "6", "--podcasts", "--smart", "--model", model});
    const stdfs::path db = dir / "iPod_Control/iTunes/iTunesDB";
    const std::string before = Get(db);
    ASSERT_GT(before.size(), 0x6Cu);
    EXPECT_TRUE(hash58::Verify(before, guid).ok()) << "libgpod's signature";
    auto c = Open(dir);
    ASSERT_TRUE(c->LoadiPodDB());
    c->WriteiPodDB();
    ASSERT_TRUE(c->status().ok()) << c->status().message();
    const std::string after = Get(db);
    EXPECT_TRUE(hash58::Verify(after, guid).ok()) << "our signature";

    // Our file is libgpod's with the sections in the order written here,
    // signed: the same bytes as signing that order directly.
    std::string header;
    std::vector<Section> sections = Sections(before, &header);
    std::string expected = header;
    for (uint32_t type : {1u, 3u, 2u, 4u, 5u})
      for (const Section& s : sections)
        if (s.type == type) expected += s.bytes;
    for (const Section& s : sections)
      if (s.type < 1 || s.type > 5) expected += s.bytes;
    ASSERT_TRUE(hash58::Sign(&expected, guid).ok());
    EXPECT_TRUE(after == expected);
    EXPECT_EQ(Dump(dir)["track_count"], c->GetAllTracks().m_mhlt.m_mhit.size());
  }
}

// A text field of the dump; libgpod has no text where there is no object.
std::string Str(const json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

// Text of a track's first object of a type (UTF-8), as stored here.
std::string ObjectText(const MHIT& t, int32_t type) {
  for (const MHOD_S& o : t.m_mhod)
    if (o.iType == type && o.sAllMHOD.empty()) return Utf16ToUtf8(o.sString.u16());
  return "";
}

// Compares a database as loaded here with libgpod's reading of the same
// file: every track's texts and numbers, and the playlists' members.
// Returns libgpod's tracks by id.
// libgpod takes its playlists from the podcast section when there is one,
// else from the playlist section (`playlist_section`).
std::map<int32_t, json> ExpectLibgpodSeesTheSame(clsCadenza* r, const json& d,
                                                 bool playlist_section = false) {
  std::map<int32_t, json> theirs;
  const MHSD_T ours = r->GetAllTracks();
  EXPECT_EQ(d["track_count"], ours.m_mhlt.m_mhit.size());
  for (const json& t : d["tracks"]) theirs[t["id"].get<int32_t>()] = t;
  for (const MHIT& t : ours.m_mhlt.m_mhit) {
    SCOPED_TRACE("track " + std::to_string(t.iUniqueID));
    if (!theirs.count(t.iUniqueID)) {
      ADD_FAILURE() << "libgpod does not see the track";
      continue;
    }
    const json& g = theirs[t.iUniqueID];
    const TrackInfo i = r->GetTrackInfo(t.iUniqueID);
    EXPECT_EQ(Str(g["title"]), i.sTitle);
    EXPECT_EQ(Str(g["artist"]), i.sArtist);
    EXPECT_EQ(Str(g["album"]), i.sAlbum);
    EXPECT_EQ(Str(g["genre"]), i.sGenre);
    EXPECT_EQ(Str(g["composer"]), i.sComposer);
    EXPECT_EQ(Str(g["comment"]), i.sComment);
    EXPECT_EQ(g["ipod_path"], ObjectText(t, 2));
    EXPECT_EQ(g["size"], static_cast<uint32_t>(t.iTrackSize));
    EXPECT_EQ(g["tracklen"], t.iTrackTimeLength);
    EXPECT_EQ(g["bitrate"], t.iBitrate);
    EXPECT_EQ(g["samplerate"], static_cast<uint32_t>(t.iSampleRate) >> 16);
    EXPECT_EQ(g["year"], U32(t.sTrackYear, 0));
    EXPECT_EQ(g["mediatype"], t.iMediaType);
    EXPECT_EQ(g["movie_flag"], t.iMovieFileFlag);
    const uint32_t marker = g["filetype_marker"].get<uint32_t>();
    std::string ft;
    for (int s = 24; s >= 0; s -= 8) ft += static_cast<char>((marker >> s) & 0xFF);
    EXPECT_EQ(ft, t.sFiletype);
  }
  // Playlists: libgpod reads its playlists from the podcast section when
  // there is one; its members are the tracks of the items (podcast group
  // items are not tracks).
  const MHSD_P pod = r->GetAllPodcasts();
  const MHSD_P pls = r->GetAllPlayLists();
  const MHSD_P& source = pod.m_mhlp.m_mhyp.empty() || playlist_section ? pls : pod;
  std::set<int32_t> all;
  for (const MHIT& t : ours.m_mhlt.m_mhit) all.insert(t.iUniqueID);
  EXPECT_EQ(d["playlists"].size(), source.m_mhlp.m_mhyp.size());
  for (size_t p = 0; p < source.m_mhlp.m_mhyp.size(); ++p) {
    const MHYP& y = source.m_mhlp.m_mhyp[p];
    const json& g = d["playlists"][p];
    SCOPED_TRACE(g["name"].get<std::string>());
    EXPECT_EQ(g["name"], Utf16ToUtf8(y.m_mhod_s.sString.u16()));
    std::vector<int32_t> items;
    for (const MHIP& it : y.m_mhip)
      if (it.iPodCastGroupFlag == 0) items.push_back(it.iTrackID);
    // New items carry random order positions, by which libgpod sorts; the
    // members are the same.
    std::vector<int32_t> members = g["items"].get<std::vector<int32_t>>();
    std::sort(members.begin(), members.end());
    std::sort(items.begin(), items.end());
    EXPECT_EQ(members, items);
    for (int32_t id : items) EXPECT_TRUE(all.count(id)) << "item of a deleted track " << id;
  }
  if (pls.m_mhlp.m_mhyp.empty()) {
    ADD_FAILURE() << "no playlists";
    return theirs;
  }
  std::set<int32_t> master;
  for (const MHIP& it : pls.m_mhlp.m_mhyp[0].m_mhip) master.insert(it.iTrackID);
  EXPECT_EQ(master, all);
  EXPECT_TRUE(d["playlists"][0]["is_master"].get<bool>());
  return theirs;
}

TEST_F(InteropTest, EditsMadeHereReadBackTheSameInLibgpod) {
  const stdfs::path dir =
      Make("edits", {"--tracks", "6", "--playlists", "2", "--podcasts", "--smart", "--nonlatin",
                     "--model", "xA147"});
  const std::string media = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/";
  const json original = Dump(dir);
  auto c = Open(dir);
  ASSERT_TRUE(c->LoadiPodDB()) << c->status().message();
  const size_t loaded = c->GetAllTracks().m_mhlt.m_mhit.size();
  ASSERT_EQ(loaded, Dump(dir)["track_count"].get<size_t>());
  ASSERT_GE(loaded, 6u);

  std::vector<int32_t> added;
  for (const char* f : {"tagged_v24.mp3", "tagged_v23_v1.mp3", "pcm_s16_stereo_44100.wav",
                        "pcm_s16_stereo_11025.aiff", "video/tone.aac", "video/h264_aac.mp4"}) {
    TrackInfo info;
    int32_t id = c->AddTrack(media + f, info);
    ASSERT_GT(id, 0) << f << ": " << c->status().message();
    added.push_back(id);
  }
  const MHSD_T tracks = c->GetAllTracks();
  const int32_t victim = tracks.m_mhlt.m_mhit[1].iUniqueID;
  const int32_t edited = tracks.m_mhlt.m_mhit[2].iUniqueID;
  // libgpod wrote the database only; the victim gets a file to delete.
  const std::string victim_file = c->GetTrackInfo(victim).sLocation;
  stdfs::create_directories(stdfs::path(victim_file).parent_path());
  std::ofstream(victim_file) << "audio";
  c->DeleteTrack(victim);
  ASSERT_TRUE(c->status().ok()) << c->status().message();
  EXPECT_FALSE(stdfs::exists(victim_file));
  c->DeleteTrack(added[1]);
  ASSERT_TRUE(c->status().ok()) << c->status().message();
  // And a podcast episode, whose item sits below a podcast group.
  int32_t episode = 0;
  for (const MHIT& t : tracks.m_mhlt.m_mhit)
    if (t.iMediaType & 4) episode = t.iUniqueID;
  ASSERT_NE(episode, 0) << "the database has no podcast";
  c->DeleteTrack(episode);  // libgpod made no file for it
  EXPECT_EQ(c->DeletedTracks(), 3);
  TrackInfo e = c->GetTrackInfo(edited);
  e.sTitle = "Ünïcødé 日本語 Привет";
  e.sArtist = "Артист";
  e.sAlbum = "アルバム";
  e.sGenre = "Ambient";
  e.sComposer = "作曲家";
  e.sComment = "コメント ✓";
  e.sYear = "1999";
  c->ModifyTrack(edited, e);
  ASSERT_TRUE(c->status().ok()) << c->status().message();
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok()) << c->status().message();

  auto r = Open(dir);
  ASSERT_TRUE(r->LoadiPodDB());
  const json d = Dump(dir);
  ASSERT_EQ(r->GetAllTracks().m_mhlt.m_mhit.size(), loaded + added.size() - 3);
  std::map<int32_t, json> theirs = ExpectLibgpodSeesTheSame(r.get(), d);
  {
    // The playlist section too, as a reader without podcast support sees
    // it: the same file without its podcast section.
    const std::string image = Get(dir / "iPod_Control/iTunes/iTunesDB");
    std::string header;
    std::vector<Section> sections = Sections(image, &header);
    std::string stripped = header;
    for (const Section& sec : sections)
      if (sec.type != 3) stripped += sec.bytes;
    for (int k = 0; k < 4; ++k) {
      stripped[8 + k] = static_cast<char>(stripped.size() >> (8 * k));
      stripped[20 + k] = static_cast<char>((sections.size() - 1) >> (8 * k));
    }
    const stdfs::path copy = root_ / "without_podcasts";
    { std::ofstream(copy, std::ios::binary) << stripped; }
    SCOPED_TRACE("playlist section");
    ExpectLibgpodSeesTheSame(r.get(), Dump(copy), true);
  }
  // libgpod's own tracks keep every field it reads (their headers are
  // longer than the part this library knows); the edited one changes only
  // in what was edited.
  for (const json& t : original["tracks"]) {
    const int32_t id = t["id"].get<int32_t>();
    if (id == victim || id == episode) continue;
    SCOPED_TRACE("libgpod track " + std::to_string(id));
    ASSERT_TRUE(theirs.count(id));
    json want = t;
    if (id == edited) {
      for (const char* k : {"title", "artist", "album", "genre", "composer", "comment", "year"})
        want[k] = theirs[id][k];
    }
    EXPECT_EQ(theirs[id], want);
  }
  // The playlists (smart ones with their rules) are libgpod's, but for
  // their members.
  ASSERT_EQ(d["playlists"].size(), original["playlists"].size());
  bool smart = false;
  for (const json& pl : original["playlists"]) smart = smart || pl["is_smart"].get<bool>();
  EXPECT_TRUE(smart);
  for (size_t k = 0; k < original["playlists"].size(); ++k) {
    json was = original["playlists"][k], is = d["playlists"][k];
    for (json* j : {&was, &is}) {
      j->erase("items");
      j->erase("count");
    }
    EXPECT_EQ(is, was);
  }
  // The imported tracks carry what the files say.
  const json& edited_g = theirs[edited];
  EXPECT_EQ(edited_g["title"], "Ünïcødé 日本語 Привет");
  EXPECT_EQ(edited_g["comment"], "コメント ✓");
  EXPECT_EQ(edited_g["year"], 1999);
  EXPECT_FALSE(theirs.count(victim));
  EXPECT_FALSE(theirs.count(episode));
  EXPECT_FALSE(theirs.count(added[1]));
  const json& mp3 = theirs[added[0]];
  EXPECT_GT(mp3["tracklen"].get<int>(), 900);
  EXPECT_EQ(mp3["samplerate"], 44100);
  // The bit rate comes from the LAME "Info" header: bytes over frames.
  EXPECT_NEAR(mp3["bitrate"].get<int>(), 128, 4);
  EXPECT_EQ(theirs[added[2]]["samplerate"], 44100);
  EXPECT_EQ(theirs[added[3]]["samplerate"], 11025);
  EXPECT_EQ(theirs[added[5]]["movie_flag"], 1);
}

TEST_F(InteropTest, DatabaseStartedHereReadsTheSameInLibgpod) {
  // Our empty database, filled here; libgpod reads the file directly (the
  // file keeps the name this library gives a new database).
  const stdfs::path dir = root_ / "fresh";
  stdfs::create_directories(dir / "iPod_Control/Music");
  const std::string media = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/";
  const stdfs::path in = root_ / "in";
  stdfs::create_directories(in);
  // A file without tags is named after itself, here in non-Latin letters.
  stdfs::copy_file(media + "mp1l3_cbr128_noinfo.mp3", in / "Песня 歌.mp3");
  auto c = Open(dir);
  ASSERT_TRUE(c->ResetiPodDB()) << c->status().message();
  ASSERT_TRUE(c->LoadiPodDB());
  std::vector<int32_t> ids;
  for (const std::string& f : {media + "tagged_v24.mp3", media + "tagged_v23_v1.mp3",
                              (in / "Песня 歌.mp3").string(), media + "pcm_u8_mono_8000.wav",
                              media + "video/h264_aac.m4v"}) {
    TrackInfo info;
    ids.push_back(c->AddTrack(f, info));
    ASSERT_GT(ids.back(), 0) << f << ": " << c->status().message();
  }
  // A composer (a new object) longer than a new object takes, cut between
  // characters.
  TrackInfo e = c->GetTrackInfo(ids[1]);
  ASSERT_TRUE(e.sComposer.empty());
  e.sComposer = "a";
  for (int i = 0; i < 300; ++i) e.sComposer += "\xF0\x9F\x8E\xB5";  // U+1F3B5
  e.sArtist.clear();
  c->ModifyTrack(ids[1], e);
  ASSERT_TRUE(c->status().ok());
  c->DeleteTrack(ids[3]);
  ASSERT_TRUE(c->status().ok()) << c->status().message();
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok()) << c->status().message();

  stdfs::path file;
  for (auto& f : stdfs::directory_iterator(dir / "iPod_Control/iTunes"))
    if (AsciiLower(f.path().filename().string()) == "itunesdb") file = f.path();
  ASSERT_FALSE(file.empty());
  const json d = Dump(file);
  auto r = Open(dir);
  ASSERT_TRUE(r->LoadiPodDB());
  ASSERT_EQ(r->GetAllTracks().m_mhlt.m_mhit.size(), 4u);
  std::map<int32_t, json> theirs = ExpectLibgpodSeesTheSame(r.get(), d);
  EXPECT_EQ(theirs[ids[0]]["title"], "Grüße aus Köln");
  EXPECT_EQ(theirs[ids[0]]["album"], "Album ✓");
  EXPECT_EQ(theirs[ids[0]]["year"], 2004);
  EXPECT_EQ(Str(theirs[ids[2]]["title"]).rfind("Песня 歌", 0), 0u);
  EXPECT_EQ(Str(theirs[ids[1]]["artist"]), "");
  const std::string composer = Str(theirs[ids[1]]["composer"]);
  EXPECT_EQ(composer.size(), 1 + 249 * 4u) << "500 units hold 'a' and 249 whole notes";
  EXPECT_EQ(theirs[ids[1]]["title"], "Café");
  EXPECT_EQ(theirs[ids[4]]["movie_flag"], 1);
  EXPECT_FALSE(theirs.count(ids[3]));

  // libgpod rewrites the file (under the name it looks for); it loads here
  // as the same tracks and playlists.
  stdfs::rename(file, dir / "iPod_Control/iTunes/iTunesDB");
  ASSERT_TRUE(Oracle({"bench", dir.string()}).has_value()) << "libgpod cannot rewrite it";
  auto l = Open(dir);
  ASSERT_TRUE(l->LoadiPodDB()) << l->status().message();
  ASSERT_EQ(l->GetAllTracks().m_mhlt.m_mhit.size(), 4u);
  // libgpod numbers the tracks anew when it writes; the location tells them.
  std::map<std::string, TrackInfo> rewritten;
  for (const MHIT& t : l->GetAllTracks().m_mhlt.m_mhit) {
    TrackInfo i = l->GetTrackInfo(t.iUniqueID);
    rewritten[i.sLocation] = i;
  }
  for (const MHIT& t : r->GetAllTracks().m_mhlt.m_mhit) {
    SCOPED_TRACE("track " + std::to_string(t.iUniqueID));
    const TrackInfo a = r->GetTrackInfo(t.iUniqueID);
    ASSERT_TRUE(rewritten.count(a.sLocation)) << a.sLocation;
    const TrackInfo& b = rewritten[a.sLocation];
    EXPECT_EQ(b.sTitle, a.sTitle);
    EXPECT_EQ(b.sArtist, a.sArtist);
    EXPECT_EQ(b.sAlbum, a.sAlbum);
    EXPECT_EQ(b.sComposer, a.sComposer);
    EXPECT_EQ(b.sGenre, a.sGenre);
    EXPECT_EQ(b.sComment, a.sComment);
    EXPECT_EQ(b.sYear, a.sYear);
    EXPECT_EQ(b.sLocation, a.sLocation);
    EXPECT_EQ(b.sTrackType, a.sTrackType);
    EXPECT_EQ(b.iFileSize, a.iFileSize);
    EXPECT_EQ(b.iTrackTimLength, a.iTrackTimLength);
    EXPECT_EQ(b.iBitrateInKbs, a.iBitrateInKbs);
    EXPECT_EQ(b.iSampleRateInHz, a.iSampleRateInHz);
  }
  const MHSD_P p = l->GetAllPlayLists();
  ASSERT_FALSE(p.m_mhlp.m_mhyp.empty());
  EXPECT_EQ(p.m_mhlp.m_mhyp[0].iPlaylistItemsCount, 4);
  // And it takes further work: an import and a write.
  TrackInfo more;
  ASSERT_GT(l->AddTrack(media + "pcm_s16_stereo_11025.aiff", more), 0) << l->status().message();
  l->WriteiPodDB();
  ASSERT_TRUE(l->status().ok()) << l->status().message();
  EXPECT_EQ(Dump(dir)["track_count"], 5);
}

}  // namespace
}  // namespace cadenza
