// Interoperability with libgpod, an independent implementation of the
// database format: databases libgpod writes survive a load and write here
// unchanged, and what is written here after edits reads back in libgpod as
// the same tracks and playlists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cadenza/cadenza.h"
#include "db/hash58.h"
#include "platform/text.h"
#include "testing/scripted_host.h"
#include "tests/e2e/e2e_util.h"
#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using json = nlohmann::json;
using namespace e2e;

// Runs gpod_oracle; its standard output, or nullopt when it failed.
std::optional<std::string> Oracle(const std::vector<std::string>& args) {
  std::string cmd = Quote(GPOD_ORACLE_PATH);
  for (const auto& a : args) cmd += " " + Quote(a);
  RunResult r = Shell(cmd);
  return r.status == 0 ? std::optional(r.out) : std::nullopt;
}

// The sections of a database file (type, bytes) in file order, after its
// header.
using Sections = std::vector<std::pair<uint32_t, std::string>>;
Sections SplitSections(const std::string& b, std::string* header) {
  Sections out;
  *header = b.substr(0, U32(b, 4));
  for (size_t at = header->size(), i = 0; i < U32(b, 20) && at + 16 <= b.size(); ++i) {
    const uint32_t total = U32(b, at + 8);
    if (b.substr(at, 4) != "mhsd" || total < 16 || total > b.size() - at) {
      ADD_FAILURE() << "section " << i << " is damaged";
      break;
    }
    out.push_back({U32(b, at + 12) & 0xFFFF, b.substr(at, total)});
    at += total;
  }
  return out;
}
// The same file with its sections in the order written here: 1, 3, 2, 4,
// 5, then the others as found.
std::string InOurOrder(const std::string& header, const Sections& sections) {
  std::string out = header;
  for (uint32_t type : {1u, 3u, 2u, 4u, 5u})
    for (const auto& [t, bytes] : sections) out += t == type ? bytes : "";
  for (const auto& [t, bytes] : sections) out += (t < 1 || t > 5) ? bytes : "";
  return out;
}

class InteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = FreshTestDir("cadenza_interop");
    stdfs::create_directories(root_ / "nosys");
    Put(root_ / "mountinfo", "");
    opts_.sysfs_root = (root_ / "nosys").string();
    opts_.mountinfo_path = (root_ / "mountinfo").string();
    SetCancelRequest(0);
  }
  void TearDown() override { stdfs::remove_all(root_); }

  // A device folder written by libgpod.
  stdfs::path Make(const std::string& name, std::vector<std::string> args) {
    const stdfs::path dir = root_ / name;
    args.insert(args.begin(), {"make", dir.string()});
    EXPECT_TRUE(Oracle(args).has_value()) << "gpod_oracle make " << name;
    return dir;
  }
  std::unique_ptr<clsCadenza> Open(const stdfs::path& dir) {
    auto c = std::make_unique<clsCadenza>(&host_, opts_);
    c->initlaize(0, "Test", dir.string() + "/");
    return c;
  }
  // Loads and writes the device here; false (with a failure) when either
  // goes wrong.
  bool LoadAndWrite(const stdfs::path& dir) {
    auto c = Open(dir);
    EXPECT_TRUE(c->LoadiPodDB()) << c->status().message();
    if (c->IsLoaded()) c->WriteiPodDB();
    EXPECT_TRUE(c->status().ok()) << c->status().message();
    return c->IsLoaded() && c->status().ok();
  }
  static json Dump(const stdfs::path& dir) {
    auto out = Oracle({"dump", dir.string()});
    if (!out) ADD_FAILURE() << "libgpod cannot read " << dir;
    return out ? json::parse(*out) : json::object();
  }

  stdfs::path root_;
  Options opts_;
  ScriptedHost host_;
};

TEST_F(InteropTest, LibgpodDatabasesComeBackUnchangedAfterALoadAndWrite) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"plain", {"--tracks", "7", "--playlists", "2"}},
      {"empty", {"--tracks", "0", "--playlists", "0"}},
      {"podcasts", {"--tracks", "12", "--playlists", "3", "--podcasts"}},
      {"smart", {"--tracks", "9", "--playlists", "2", "--smart"}},
      {"nonlatin", {"--tracks", "8", "--playlists", "1", "--nonlatin"}},
      {"all", {"--tracks", "25", "--playlists", "4", "--podcasts", "--smart", "--nonlatin"}},
      {"large", {"--tracks", "800", "--playlists", "3", "--podcasts"}},
  };
  for (auto [name, args] : cases) {
    SCOPED_TRACE(name);
    args.insert(args.end(), {"--model", "xA147"});
    const stdfs::path dir = Make(name, args);
    const stdfs::path db = dir / "iPod_Control/iTunes/iTunesDB";
    const std::string before = Get(db);
    ASSERT_FALSE(before.empty());
    const json dump_before = Dump(dir);
    ASSERT_TRUE(LoadAndWrite(dir));
    const std::string after = Get(db);

    // Every section, whatever the order, is the same bytes; so is the
    // header, and the whole file when libgpod's order is ours.
    std::string h1, h2;
    const Sections s1 = SplitSections(before, &h1), s2 = SplitSections(after, &h2);
    EXPECT_EQ(h2, h1);
    EXPECT_TRUE(std::is_permutation(s1.begin(), s1.end(), s2.begin(), s2.end()));
    std::set<uint32_t> types;
    for (const auto& s : s1) types.insert(s.first);
    EXPECT_TRUE(types.count(1) && types.count(2) && types.count(3));
    EXPECT_TRUE(name != "all" || (types.count(4) && types.count(5))) << "album and smart sections";
    EXPECT_EQ(Dump(dir), dump_before);

    // The same sections in the order written here come back as the whole
    // file, byte for byte.
    const std::string reordered = InOurOrder(h1, s1);
    ASSERT_EQ(reordered.size(), before.size());
    EXPECT_TRUE(reordered != before || after == before);
    Put(db, reordered);
    ASSERT_TRUE(LoadAndWrite(dir));
    EXPECT_TRUE(Get(db) == reordered) << "the file in the written order changed";
    EXPECT_EQ(Dump(dir), dump_before);
  }
  // Podcast groups (items with a title object instead of an order entry),
  // smart playlists (objects 50 to 53) and sort indexes went through.
  auto c = Open(root_ / "all");
  ASSERT_TRUE(c->LoadiPodDB());
  bool group = false;
  for (const MHYP& y : c->GetAllPodcasts().m_mhlp.m_mhyp)
    for (const MHIP& i : y.m_mhip) group = group || i.iPodCastGroupFlag != 0;
  EXPECT_TRUE(group);
  std::set<int32_t> kinds;
  for (const MHYP& y : c->GetAllPlayLists().m_mhlp.m_mhyp)
    for (const MHOD_PCD& o : y.m_mhod_pcd) kinds.insert(o.iType);
  const std::set<int32_t> expected = {50, 51, 52, 100};
  EXPECT_TRUE(std::includes(kinds.begin(), kinds.end(), expected.begin(), expected.end()));
}

TEST_F(InteropTest, SignedDatabasesAreReproducedExactly) {
  // libgpod signs the database of a classic or a nano 3G with the GUID it
  // writes to SysInfo; a load and write here signs libgpod's sections, in
  // our order, with the same GUID.
  hash58::Guid guid;
  ASSERT_TRUE(hash58::ParseGuid("0x000A27001A2B3C4D", &guid).ok());
  for (const char* model : {"xB029", "xA978"}) {
    SCOPED_TRACE(model);
    const stdfs::path dir = Make(model, {"--tracks", "6", "--podcasts", "--smart", "--model", model});
    const stdfs::path db = dir / "iPod_Control/iTunes/iTunesDB";
    const std::string before = Get(db);
    EXPECT_TRUE(hash58::Verify(before, guid).ok()) << "libgpod's signature";
    const json dump_before = Dump(dir);
    ASSERT_TRUE(LoadAndWrite(dir));
    std::string header;
    const Sections sections = SplitSections(before, &header);
    std::string expected = InOurOrder(header, sections);
    ASSERT_TRUE(hash58::Sign(&expected, guid).ok());
    EXPECT_TRUE(Get(db) == expected);
    EXPECT_EQ(Dump(dir), dump_before);
  }
}

// A text field of the dump; libgpod has no text where there is no object.
std::string Str(const json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

// Compares a database as loaded here with libgpod's reading of the same
// file: every track's texts and numbers, and the playlists' members.
// libgpod takes its playlists from the podcast section when there is one,
// else from the playlist section (`playlist_section`). Returns libgpod's
// tracks by id.
std::map<int32_t, json> ExpectLibgpodSeesTheSame(clsCadenza* r, const json& d,
                                                 bool playlist_section = false) {
  std::map<int32_t, json> theirs;
  for (const json& t : d["tracks"]) theirs[t["id"].get<int32_t>()] = t;
  const MHSD_T ours = r->GetAllTracks();
  EXPECT_EQ(d["track_count"], ours.m_mhlt.m_mhit.size());
  std::multiset<int32_t> all;
  for (const MHIT& t : ours.m_mhlt.m_mhit) {
    all.insert(t.iUniqueID);
    const TrackInfo i = r->GetTrackInfo(t.iUniqueID);
    uint32_t marker = 0;  // the file type read as a big-endian number
    for (char ch : std::string_view(t.sFiletype)) marker = marker << 8 | static_cast<uint8_t>(ch);
    std::string location;
    for (const MHOD_S& o : t.m_mhod)
      if (o.iType == 2 && o.sAllMHOD.empty() && location.empty()) location = Utf16ToUtf8(o.sString.u16());
    const json mine = {{"title", i.sTitle}, {"artist", i.sArtist}, {"album", i.sAlbum},
                       {"genre", i.sGenre}, {"composer", i.sComposer}, {"comment", i.sComment},
                       {"ipod_path", location}, {"size", static_cast<uint32_t>(t.iTrackSize)},
                       {"tracklen", t.iTrackTimeLength}, {"bitrate", t.iBitrate},
                       {"samplerate", static_cast<uint32_t>(t.iSampleRate) >> 16},
                       {"year", U32(t.sTrackYear, 0)}, {"mediatype", t.iMediaType},
                       {"movie_flag", t.iMovieFileFlag},
                       {"filetype_marker", marker}};
    json seen = json::object();
    const json& g = theirs.count(t.iUniqueID) ? theirs[t.iUniqueID] : json::object();
    for (const auto& [k, v] : mine.items()) seen[k] = v.is_string() ? json(Str(g.value(k, json()))) : g.value(k, json());
    EXPECT_EQ(seen, mine) << "track " << t.iUniqueID;
  }
  // A playlist's members are the tracks of its items (podcast group items
  // are not tracks); new items carry random order positions, by which
  // libgpod sorts, so members are compared as sets.
  const MHSD_P pod = r->GetAllPodcasts(), pls = r->GetAllPlayLists();
  const MHSD_P& source = pod.m_mhlp.m_mhyp.empty() || playlist_section ? pls : pod;
  EXPECT_EQ(d["playlists"].size(), source.m_mhlp.m_mhyp.size());
  for (size_t p = 0; p < source.m_mhlp.m_mhyp.size() && p < d["playlists"].size(); ++p) {
    const MHYP& y = source.m_mhlp.m_mhyp[p];
    const json& g = d["playlists"][p];
    std::multiset<int32_t> items, members;
    for (const MHIP& it : y.m_mhip)
      if (it.iPodCastGroupFlag == 0) items.insert(it.iTrackID);
    for (int32_t id : g["items"]) members.insert(id);
    EXPECT_EQ(g["name"], Utf16ToUtf8(y.m_mhod_s.sString.u16()));
    EXPECT_EQ(members, items) << g["name"];
    for (int32_t id : items) EXPECT_TRUE(all.count(id)) << "item of a deleted track " << id;
  }
  if (!pls.m_mhlp.m_mhyp.empty() && !d["playlists"].empty()) {
    std::multiset<int32_t> master;
    for (const MHIP& it : pls.m_mhlp.m_mhyp[0].m_mhip) master.insert(it.iTrackID);
    EXPECT_EQ(master, all);
    EXPECT_TRUE(d["playlists"][0]["is_master"].get<bool>());
  } else {
    ADD_FAILURE() << "no playlists";
  }
  return theirs;
}

TEST_F(InteropTest, EditsMadeHereReadBackTheSameInLibgpod) {
  const stdfs::path dir = Make("edits", {"--tracks", "6", "--playlists", "2", "--podcasts", "--smart",
                                         "--nonlatin", "--model", "xA147"});
  const json original = Dump(dir);
  auto c = Open(dir);
  ASSERT_TRUE(c->LoadiPodDB()) << c->status().message();
  const size_t loaded = c->GetAllTracks().m_mhlt.m_mhit.size();
  ASSERT_EQ(loaded, original["track_count"].get<size_t>());
  std::vector<int32_t> added;
  for (const char* f : {"tagged_v24.mp3", "tagged_v23_v1.mp3", "pcm_s16_stereo_44100.wav",
                        "pcm_s16_stereo_11025.aiff", "video/tone.aac", "video/h264_aac.mp4"}) {
    TrackInfo info;
    added.push_back(c->AddTrack(kMedia + f, info));
    ASSERT_GT(added.back(), 0) << f << ": " << c->status().message();
  }
  const MHSD_T tracks = c->GetAllTracks();
  const int32_t victim = tracks.m_mhlt.m_mhit[1].iUniqueID, edited = tracks.m_mhlt.m_mhit[2].iUniqueID;
  // libgpod wrote the database only; the victim gets a file to delete.
  const std::string victim_file = c->GetTrackInfo(victim).sLocation;
  Put(victim_file, "audio");
  // And a podcast episode, whose item sits below a podcast group.
  int32_t episode = 0;
  for (const MHIT& t : tracks.m_mhlt.m_mhit) episode = (t.iMediaType & 4) ? t.iUniqueID : episode;
  ASSERT_NE(episode, 0) << "the database has no podcast";
  for (int32_t id : {victim, added[1]}) {
    c->DeleteTrack(id);
    ASSERT_TRUE(c->status().ok()) << c->status().message();
  }
  EXPECT_FALSE(stdfs::exists(victim_file));
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
    std::string stripped;
    const Sections sections = SplitSections(Get(dir / "iPod_Control/iTunes/iTunesDB"), &stripped);
    for (const auto& [type, bytes] : sections) stripped += type != 3 ? bytes : "";
    for (size_t k = 0; k < 4; ++k) {
      stripped[8 + k] = static_cast<char>(stripped.size() >> (8 * k));
      stripped[20 + k] = static_cast<char>((sections.size() - 1) >> (8 * k));
    }
    Put(root_ / "without_podcasts", stripped);
    SCOPED_TRACE("playlist section");
    ExpectLibgpodSeesTheSame(r.get(), Dump(root_ / "without_podcasts"), true);
  }
  // libgpod's own tracks keep every field it reads (their headers are
  // longer than the part this library knows); the edited one changes in
  // what was edited, to what was written.
  for (const json& t : original["tracks"]) {
    const int32_t id = t["id"].get<int32_t>();
    if (id == victim || id == episode) {
      EXPECT_FALSE(theirs.count(id));
      continue;
    }
    json want = t;
    if (id == edited)
      want.update(json{{"title", e.sTitle}, {"artist", e.sArtist}, {"album", e.sAlbum}, {"genre", e.sGenre},
                       {"composer", e.sComposer}, {"comment", e.sComment}, {"year", 1999}});
    EXPECT_EQ(theirs[id], want) << "libgpod track " << id;
  }
  // The playlists (smart ones with their rules) are libgpod's, but for
  // their members.
  ASSERT_EQ(d["playlists"].size(), original["playlists"].size());
  bool smart = false;
  for (size_t k = 0; k < d["playlists"].size(); ++k) {
    json was = original["playlists"][k], is = d["playlists"][k];
    smart = smart || was["is_smart"].get<bool>();
    for (json* j : {&was, &is}) j->erase("items"), j->erase("count");
    EXPECT_EQ(is, was);
  }
  EXPECT_TRUE(smart);
  // The imported tracks carry what the files say.
  EXPECT_FALSE(theirs.count(added[1]));
  const json& mp3 = theirs[added[0]];
  EXPECT_GT(mp3["tracklen"].get<int>(), 900);
  EXPECT_NEAR(mp3["bitrate"].get<int>(), 128, 4);  // from the LAME "Info" header: bytes over frames
  for (auto [k, rate] : {std::pair{0, 44100}, {2, 44100}, {3, 11025}}) EXPECT_EQ(theirs[added[k]]["samplerate"], rate);
  EXPECT_EQ(theirs[added[5]]["movie_flag"], 1);
}

TEST_F(InteropTest, DatabaseStartedHereReadsTheSameInLibgpod) {
  // Our empty database, filled here; libgpod reads the file directly (the
  // file keeps the name this library gives a new database).
  const stdfs::path dir = root_ / "fresh";
  stdfs::create_directories(dir / "iPod_Control/Music");
  // A file without tags is named after itself, here in non-Latin letters.
  const stdfs::path untagged = root_ / "in/Песня 歌.mp3";
  Put(untagged, Get(kMedia + "mp1l3_cbr128_noinfo.mp3"));
  auto c = Open(dir);
  ASSERT_TRUE(c->ResetiPodDB()) << c->status().message();
  ASSERT_TRUE(c->LoadiPodDB());
  std::vector<int32_t> ids;
  for (const std::string& f : {kMedia + "tagged_v24.mp3", kMedia + "tagged_v23_v1.mp3", untagged.string(),
                               kMedia + "pcm_u8_mono_8000.wav", kMedia + "video/h264_aac.m4v"}) {
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
  c->DeleteTrack(ids[3]);
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok()) << c->status().message();

  stdfs::path file;
  for (auto& f : stdfs::directory_iterator(dir / "iPod_Control/iTunes"))
    if (AsciiLower(f.path().filename().string()) == "itunesdb") file = f.path();
  ASSERT_FALSE(file.empty());
  auto r = Open(dir);
  ASSERT_TRUE(r->LoadiPodDB());
  ASSERT_EQ(r->GetAllTracks().m_mhlt.m_mhit.size(), 4u);
  std::map<int32_t, json> theirs = ExpectLibgpodSeesTheSame(r.get(), Dump(file));
  for (auto [k, key, value] : {std::tuple<size_t, const char*, json>{0, "title", "Grüße aus Köln"},
                                {0, "album", "Album ✓"}, {0, "year", 2004}, {1, "title", "Café"},
                                {1, "artist", ""}, {4, "movie_flag", 1}})
    EXPECT_EQ(theirs[ids[k]][key], value) << k << " " << key;
  EXPECT_EQ(Str(theirs[ids[2]]["title"]).rfind("Песня 歌", 0), 0u);
  EXPECT_EQ(Str(theirs[ids[1]]["composer"]).size(), 1 + 249 * 4u) << "500 units hold 'a' and 249 whole notes";
  EXPECT_FALSE(theirs.count(ids[3]));

  // libgpod rewrites the file (under the name it looks for); it loads here
  // as the same tracks (numbered anew; the location tells them) and
  // playlists, and takes further work.
  stdfs::rename(file, dir / "iPod_Control/iTunes/iTunesDB");
  ASSERT_TRUE(Oracle({"bench", dir.string()}).has_value()) << "libgpod cannot rewrite it";
  auto l = Open(dir);
  ASSERT_TRUE(l->LoadiPodDB()) << l->status().message();
  std::map<std::string, std::string> was, is;
  for (auto [db, out] : {std::pair{r.get(), &was}, {l.get(), &is}})
    for (const MHIT& t : db->GetAllTracks().m_mhlt.m_mhit) {
      const TrackInfo i = db->GetTrackInfo(t.iUniqueID);
      (*out)[i.sLocation] = Summary(i) + "|" + i.sTrackType;
    }
  EXPECT_EQ(is, was);
  ASSERT_FALSE(l->GetAllPlayLists().m_mhlp.m_mhyp.empty());
  EXPECT_EQ(l->GetAllPlayLists().m_mhlp.m_mhyp[0].iPlaylistItemsCount, 4);
  TrackInfo more;
  ASSERT_GT(l->AddTrack(kMedia + "pcm_s16_stereo_11025.aiff", more), 0) << l->status().message();
  l->WriteiPodDB();
  ASSERT_TRUE(l->status().ok()) << l->status().message();
  EXPECT_EQ(Dump(dir)["track_count"], 5);
}

}  // namespace
}  // namespace cadenza
