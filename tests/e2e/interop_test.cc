// Interoperability with libgpod, an independent implementation of the
// database format: databases libgpod writes survive a load and write here
// section for section, and what is written here after edits reads back in
// libgpod as the same tracks and playlists.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "db/hash58.h"
#include "platform/text.h"
#include "tests/e2e/gpod_util.h"

namespace cadenza::e2e {
namespace {

// A database file with its sections in the order written here (1, 3, 2,
// 4, 5, then the others as found), without the sections of type `drop`.
std::string Reordered(const std::string& b, uint32_t drop = 0) {
  std::vector<std::pair<uint32_t, std::string>> sections;  // type, bytes
  std::string out = b.substr(0, U32(b, 4));
  for (size_t at = out.size(), i = 0; i < U32(b, 20) && at + 16 <= b.size(); ++i) {
    const uint32_t total = U32(b, at + 8);
    if (b.substr(at, 4) != "mhsd" || total < 16 || total > b.size() - at) {
      ADD_FAILURE() << "section " << i << " is damaged";
      break;
    }
    sections.push_back({U32(b, at + 12) & 0xFFFF, b.substr(at, total)});
    at += total;
  }
  uint32_t count = 0;
  for (uint32_t type : {1u, 3u, 2u, 4u, 5u, 0u})
    for (const auto& [t, bytes] : sections)
      if (t != drop && (t == type || (type == 0 && (t < 1 || t > 5)))) out += bytes, ++count;
  for (size_t k = 0; k < 4; ++k) {
    out[8 + k] = static_cast<char>(out.size() >> (8 * k));
    out[20 + k] = static_cast<char>(count >> (8 * k));
  }
  return out;
}

class InteropTest : public E2ETest {
 protected:
  // A device folder written by libgpod.
  stdfs::path Make(const std::string& name, int tracks, int playlists,
                   const std::string& model = "xA147") {
    const stdfs::path dir = base_ / name;
    EXPECT_TRUE(Oracle({"make", dir.string(), "--tracks", std::to_string(tracks), "--playlists",
                        std::to_string(playlists), "--model", model}))
        << "gpod_oracle make " << name;
    return dir;
  }
};

TEST_F(InteropTest, LibgpodDatabasesComeBackSectionForSection) {
  // Written here, libgpod's sections come back byte for byte in this
  // library's order (1, 3, 2, 4, 5), signed with the device's GUID for a
  // classic and a nano 3G; libgpod reads the result as it read its own.
  hash58::Guid guid;
  ASSERT_TRUE(hash58::ParseGuid("0x000A27001A2B3C4D", &guid).ok());
  const struct {
    std::string name;
    int tracks, playlists;
    std::string model;
  } cases[] = {{"empty", 0, 0, "xA147"},
               {"plain", 25, 4, "xA147"},
               {"large", 800, 3, "xA147"},
               {"classic", 6, 2, "xB029"},
               {"nano3g", 6, 1, "xA978"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const stdfs::path dir = Make(k.name, k.tracks, k.playlists, k.model);
    const std::string before = ReadBytes(Db(dir));
    const bool signs = k.model != "xA147";
    EXPECT_EQ(hash58::Verify(before, guid).ok(), signs) << "libgpod's signature";
    std::string expected = Reordered(before);
    ASSERT_EQ(expected.size(), before.size());
    ASSERT_TRUE(!signs || hash58::Sign(&expected, guid).ok());
    const json dump_before = Dump(dir);
    auto c = Open(dir);
    ASSERT_TRUE(c->LoadiPodDB()) << c->status().message();
    c->WriteiPodDB();
    ASSERT_TRUE(c->status().ok()) << c->status().message();
    EXPECT_TRUE(ReadBytes(Db(dir)) == expected);
    EXPECT_EQ(Dump(dir), dump_before);
  }
  // What went through includes podcast groups (items with a title object
  // instead of an order entry) and smart playlists (objects 50 to 52).
  auto c = Open(base_ / "plain");
  ASSERT_TRUE(c->LoadiPodDB());
  std::set<int32_t> kinds;
  for (const MHYP& y : c->GetAllPodcasts().m_mhlp.m_mhyp)
    for (const MHIP& i : y.m_mhip) kinds.insert(i.iPodCastGroupFlag ? -1 : 0);
  for (const MHYP& y : c->GetAllPlayLists().m_mhlp.m_mhyp)
    for (const MHOD_PCD& o : y.m_mhod_pcd) kinds.insert(o.iType);
  EXPECT_TRUE(std::ranges::includes(kinds, std::set<int32_t>{-1, 50, 51, 52, 100}));
}

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
      if (o.iType == 2 && o.sAllMHOD.empty() && location.empty())
        location = Utf16ToUtf8(o.sString.u16());
    const json mine = {{"title", i.sTitle},
                       {"artist", i.sArtist},
                       {"album", i.sAlbum},
                       {"genre", i.sGenre},
                       {"composer", i.sComposer},
                       {"comment", i.sComment},
                       {"ipod_path", location},
                       {"size", static_cast<uint32_t>(t.iTrackSize)},
                       {"tracklen", t.iTrackTimeLength},
                       {"bitrate", t.iBitrate},
                       {"samplerate", static_cast<uint32_t>(t.iSampleRate) >> 16},
                       {"year", U32(t.sTrackYear, 0)},
                       {"mediatype", t.iMediaType},
                       {"movie_flag", t.iMovieFileFlag},
                       {"filetype_marker", marker}};
    json seen = json::object();
    const json& g = theirs.count(t.iUniqueID) ? theirs[t.iUniqueID] : json::object();
    for (const auto& [k, v] : mine.items())
      seen[k] = v.is_string() ? json(Str(g.value(k, json()))) : g.value(k, json());
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
  EXPECT_TRUE(d["playlists"].at(0)["is_master"].get<bool>());
  std::multiset<int32_t> master;
  for (const MHIP& it : pls.m_mhlp.m_mhyp.at(0).m_mhip) master.insert(it.iTrackID);
  EXPECT_EQ(master, all);
  return theirs;
}

TEST_F(InteropTest, EditsMadeHereReadBackTheSameInLibgpod) {
  const stdfs::path dir = Make("edits", 6, 2);
  const json original = Dump(dir);
  auto c = Open(dir);
  ASSERT_TRUE(c->LoadiPodDB()) << c->status().message();
  const MHSD_T tracks = c->GetAllTracks();
  ASSERT_EQ(tracks.m_mhlt.m_mhit.size(), original["track_count"].get<size_t>());
  std::vector<int32_t> added;
  for (const char* f : {"tagged_v24.mp3", "tagged_v23_v1.mp3", "pcm_s16_stereo_44100.wav",
                        "pcm_s16_stereo_11025.aiff", "video/tone.aac", "video/h264_aac.mp4"}) {
    TrackInfo info;
    added.push_back(c->AddTrack(kMedia + f, info));
    ASSERT_GT(added.back(), 0) << f << ": " << c->status().message();
  }
  // Deleted: a track of libgpod's (given a file to delete, as libgpod wrote
  // the database only), one added here and a podcast episode, whose item
  // sits below a podcast group.
  const int32_t victim = tracks.m_mhlt.m_mhit[1].iUniqueID;
  const int32_t edited = tracks.m_mhlt.m_mhit[2].iUniqueID;
  const int32_t episode = tracks.m_mhlt.m_mhit.back().iUniqueID;
  ASSERT_TRUE(tracks.m_mhlt.m_mhit.back().iMediaType & 4) << "the last track is no podcast";
  const std::string victim_file = c->GetTrackInfo(victim).sLocation;
  WriteBytes(victim_file, "audio");
  for (int32_t id : {victim, added[1], episode}) c->DeleteTrack(id);
  EXPECT_FALSE(stdfs::exists(victim_file));
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
  ASSERT_EQ(r->GetAllTracks().m_mhlt.m_mhit.size(), tracks.m_mhlt.m_mhit.size() + 6 - 3);
  std::map<int32_t, json> theirs = ExpectLibgpodSeesTheSame(r.get(), d);
  {
    // The playlist section too, as a reader without podcast support sees
    // it: the same file without its podcast section.
    WriteBytes(base_ / "without_podcasts", Reordered(ReadBytes(Db(dir)), 3));
    SCOPED_TRACE("playlist section");
    ExpectLibgpodSeesTheSame(r.get(), Dump(base_ / "without_podcasts"), true);
  }
  // libgpod's own tracks keep every field it reads (their headers are
  // longer than the part this library knows); the edited one changes in
  // what was edited, to what was written.
  for (const json& t : original["tracks"]) {
    const int32_t id = t["id"].get<int32_t>();
    json want = id == victim || id == episode ? json() : t;
    if (id == edited)
      want.update(json{{"title", e.sTitle},
                       {"artist", e.sArtist},
                       {"album", e.sAlbum},
                       {"genre", e.sGenre},
                       {"composer", e.sComposer},
                       {"comment", e.sComment},
                       {"year", 1999}});
    EXPECT_EQ(theirs.count(id) ? theirs[id] : json(), want) << "libgpod track " << id;
  }
  // The playlists (smart ones with their rules) are libgpod's, but for
  // their members.
  ASSERT_EQ(d["playlists"].size(), original["playlists"].size());
  for (size_t k = 0; k < d["playlists"].size(); ++k) {
    json was = original["playlists"][k], is = d["playlists"][k];
    for (json* j : {&was, &is}) j->erase("items"), j->erase("count");
    EXPECT_EQ(is, was);
  }
  // The imported tracks as libgpod reads them (what the files say is
  // checked on this library's reading).
  EXPECT_FALSE(theirs.count(added[1]));
  EXPECT_NEAR(theirs[added[0]]["bitrate"].get<int>(), 128, 4);  // LAME "Info": bytes over frames
}

TEST_F(InteropTest, DatabaseStartedHereReadsTheSameInLibgpod) {
  // Our empty database, filled here; libgpod reads the file directly (the
  // file keeps the name this library gives a new database).
  const stdfs::path dir = base_ / "fresh";
  stdfs::create_directories(dir / "iPod_Control/Music");
  // A file without tags is named after itself, here in non-Latin letters.
  const stdfs::path untagged = base_ / "in/Песня 歌.mp3";
  WriteBytes(untagged, ReadBytes(kMedia + "mp1l3_cbr128_noinfo.mp3"));
  auto c = Open(dir);
  ASSERT_TRUE(c->ResetiPodDB()) << c->status().message();
  ASSERT_TRUE(c->LoadiPodDB());
  std::vector<int32_t> ids;
  for (const std::string& f :
       {kMedia + "tagged_v24.mp3", kMedia + "tagged_v23_v1.mp3", untagged.string(),
        kMedia + "pcm_u8_mono_8000.wav", kMedia + "video/h264_aac.m4v"}) {
    TrackInfo info;
    ids.push_back(c->AddTrack(f, info));
    ASSERT_GT(ids.back(), 0) << f << ": " << c->status().message();
  }
  // A composer (a new object) longer than a new object takes, cut between
  // characters.
  TrackInfo e = c->GetTrackInfo(ids[1]);
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
  std::map<int32_t, json> theirs = ExpectLibgpodSeesTheSame(r.get(), Dump(file));
  EXPECT_FALSE(theirs.count(ids[3]));
  EXPECT_EQ(theirs[ids[0]]["album"], "Album ✓");
  EXPECT_EQ(Str(theirs[ids[1]]["artist"]), "");
  EXPECT_EQ(theirs[ids[4]]["movie_flag"], 1);
  EXPECT_EQ(Str(theirs[ids[2]]["title"]).rfind("Песня 歌", 0), 0u);
  EXPECT_EQ(Str(theirs[ids[1]]["composer"]).size(), 1 + 249 * 4u)
      << "500 units hold 'a' and 249 whole notes";
}

}  // namespace
}  // namespace cadenza::e2e
