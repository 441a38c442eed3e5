// End to end on real device folders: real media files imported, the
// database written and read back, deletes, edits, rebuilds, cancels, failed
// writes, devices that check a signature, and the command-line tool.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cadenza/cadenza.h"
#include "db/hash58.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "testing/scripted_host.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using json = nlohmann::json;

const std::string kMedia = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/";

std::string Get(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void Put(const stdfs::path& p, const std::string& bytes) {
  stdfs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}
uint32_t U32(std::string_view b, size_t at) {
  if (at + 4 > b.size()) return 0;
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
  return v;
}
std::string Text(const MHOD_S& o) { return Utf16ToUtf8(o.sString.u16()); }

// Every file below a folder with its bytes.
std::map<std::string, std::string> Snapshot(const stdfs::path& dir) {
  std::map<std::string, std::string> out;
  for (auto& e : stdfs::recursive_directory_iterator(dir))
    out[e.path().string()] = e.is_regular_file() ? Get(e.path()) : std::string("<dir>");
  return out;
}

struct RunResult {
  int status = -1;
  std::string out;
};
RunResult RunTool(const std::string& cmd) {
  RunResult r;
  FILE* p = popen((cmd + " 2>/dev/null </dev/null").c_str(), "r");
  if (!p) return r;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}
std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class DeviceE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = stdfs::temp_directory_path() /
            ("cadenza_e2e_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    stdfs::remove_all(base_);
    root_ = base_ / "ipod";
    stdfs::create_directories(root_);
    stdfs::create_directories(base_ / "nosys");
    std::ofstream(base_ / "mountinfo").flush();
    opts_.sysfs_root = (base_ / "nosys").string();
    opts_.mountinfo_path = (base_ / "mountinfo").string();
    SetCancelRequest(0);
  }
  void TearDown() override {
    fs::SetWriteLimitForTesting(-1);
    SetCancelRequest(0);
    stdfs::remove_all(base_);
  }
  std::string Root() const { return root_.string() + "/"; }
  stdfs::path DbPath() const { return root_ / "iPod_Control/iTunes/itunesDB"; }
  std::unique_ptr<clsCadenza> Open() {
    auto c = std::make_unique<clsCadenza>(&host_, opts_);
    c->initlaize(0, "Test", Root());
    return c;
  }
  // A fresh device: the empty database and a Music folder.
  std::unique_ptr<clsCadenza> Init() {
    auto c = Open();
    EXPECT_TRUE(c->ResetiPodDB()) << c->status().message();
    stdfs::create_directories(root_ / "iPod_Control/Music");
    EXPECT_TRUE(c->LoadiPodDB()) << c->status().message();
    return c;
  }
  // The device file a stored location names.
  stdfs::path FileOf(const std::string& location) const {
    std::string rel = location.substr(1);
    std::replace(rel.begin(), rel.end(), ':', '/');
    return root_ / rel;
  }
  static const MHIT* Find(const MHSD_T& t, int32_t id) {
    for (const MHIT& k : t.m_mhlt.m_mhit)
      if (k.iUniqueID == id) return &k;
    return nullptr;
  }
  static bool InFirstPlaylist(const MHSD_P& p, int32_t id) {
    if (p.m_mhlp.m_mhyp.empty()) return false;
    for (const MHIP& i : p.m_mhlp.m_mhyp[0].m_mhip)
      if (i.iTrackID == id) return true;
    return false;
  }

  stdfs::path base_, root_;
  Options opts_;
  ScriptedHost host_;
};

struct Fixture {
  const char* file;
  const char* filetype;
  uint8_t movie;
};
const Fixture kFixtures[] = {
    {"tagged_v24.mp3", "MP3 ", 0},
    {"tagged_v23_v1.mp3", "MP3 ", 0},
    {"mp1l3_cbr128_noinfo.mp3", "MP3 ", 0},
    {"pcm_s16_stereo_44100.wav", "WAV ", 0},
    {"pcm_s16_stereo_11025.aiff", "AIFF", 0},
    {"video/tone.aac", "AAC ", 1},  // AAC files are classed with the videos
    {"video/h264_aac.mp4", "MP4 ", 1},
};

TEST_F(DeviceE2E, ImportedFilesAreWrittenAndReadBackWithEveryField) {
  auto c = Init();
  std::map<int32_t, std::pair<Fixture, TrackInfo>> added;
  for (const Fixture& f : kFixtures) {
    TrackInfo expect;
    ASSERT_TRUE(c->SetTrackInfo(kMedia + f.file, expect)) << f.file;
    TrackInfo info;
    const int32_t id = c->AddTrack(kMedia + f.file, info);
    ASSERT_GT(id, 0) << f.file << ": " << c->status().message();
    added[id] = {f, expect};
  }
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok()) << c->status().message();
  EXPECT_EQ(U32(Get(DbPath()), 8), stdfs::file_size(DbPath()));

  auto r = Open();
  ASSERT_TRUE(r->LoadiPodDB());
  const MHSD_T tracks = r->GetAllTracks();
  ASSERT_EQ(tracks.m_mhlt.iNumberOfllTracks, static_cast<int32_t>(std::size(kFixtures)));
  const MHSD_P pls = r->GetAllPlayLists(), pod = r->GetAllPodcasts();
  std::set<std::string> locations;
  for (const auto& [id, fx] : added) {
    const auto& [f, info] = fx;
    SCOPED_TRACE(f.file);
    const MHIT* t = Find(tracks, id);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->iHeaderSize, 328);
    EXPECT_EQ(t->sFiletype, f.filetype);
    EXPECT_EQ(t->iType2, std::string(f.filetype) == "MP3 " ? 1 : 0);
    EXPECT_EQ(t->iMovieFileFlag, f.movie);
    EXPECT_EQ(t->iMediaType, info.iType);
    EXPECT_EQ(t->iBitrate, info.iBitrateInKbs);
    EXPECT_GT(t->iBitrate, 0);
    EXPECT_EQ(t->iTrackTimeLength, info.iTrackTimLength);
    EXPECT_GT(t->iTrackTimeLength, 400);
    EXPECT_EQ(t->iTrackSize, stdfs::file_size(kMedia + f.file));
    EXPECT_EQ(static_cast<uint32_t>(t->iSampleRate), static_cast<uint32_t>(info.iSampleRateInHz) << 16);
    float rate = static_cast<float>(info.iSampleRateInHz);
    uint32_t bits;
    std::memcpy(&bits, &rate, 4);
    EXPECT_EQ(static_cast<uint32_t>(t->iSampleRate2), bits);
    const int year = info.sYear.empty() ? 0 : std::stoi(info.sYear);
    EXPECT_EQ(U32(t->sTrackYear, 0), static_cast<uint32_t>(year));
    EXPECT_EQ(t->iDB_ID, t->iDB_ID2);
    // Text objects in import order, the location last.
    std::vector<std::pair<int32_t, std::string>> want;
    want.push_back({1, info.sTitle.empty() ? stdfs::path(f.file).stem().string() : info.sTitle});
    if (!info.sAlbum.empty()) want.push_back({3, info.sAlbum});
    if (!info.sArtist.empty()) want.push_back({4, info.sArtist});
    if (!info.sComment.empty()) want.push_back({8, info.sComment});
    if (!info.sComposer.empty()) want.push_back({12, info.sComposer});
    if (!info.sGenre.empty()) want.push_back({5, info.sGenre});
    ASSERT_EQ(t->m_mhod.size(), want.size() + 1);
    EXPECT_EQ(t->iNumberOfMHODS, static_cast<int32_t>(want.size() + 1));
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(t->m_mhod[i].iType, want[i].first);
      EXPECT_EQ(Text(t->m_mhod[i]), want[i].second);
    }
    ASSERT_EQ(t->m_mhod.back().iType, 2);
    const std::string loc = Text(t->m_mhod.back());
    EXPECT_EQ(loc.rfind(":iPod_Control:Music:", 0), 0u) << loc;
    EXPECT_TRUE(locations.insert(loc).second);
    EXPECT_EQ(Get(FileOf(loc)), Get(kMedia + f.file));
    // The device file is named by its file type.
    EXPECT_EQ(AsciiLower(stdfs::path(loc).extension().string()),
              stdfs::path(f.file).extension().string());
    EXPECT_TRUE(InFirstPlaylist(pls, id));
    EXPECT_TRUE(InFirstPlaylist(pod, id));
  }
  // The tags of the tagged files are what the encoder wrote.
  const TrackInfo v24 = r->GetTrackInfo(added.begin()->first);
  EXPECT_EQ(v24.sTitle, "Grüße aus Köln");
  EXPECT_EQ(v24.sArtist, "Björk Ωmega");
  EXPECT_EQ(v24.sAlbum, "Album ✓");
  EXPECT_EQ(v24.sComposer, "Jänis");
  EXPECT_EQ(v24.sGenre, "Rock");
  EXPECT_EQ(v24.sYear, "2004");
  const TrackInfo v23 = r->GetTrackInfo(std::next(added.begin())->first);
  EXPECT_EQ(v23.sTitle, "Café");
  EXPECT_EQ(v23.sAlbum, "Οδύσσεια");
  EXPECT_EQ(v23.sYear, "1999");

  // A database written here comes back byte for byte from a load and write.
  const std::string image = Get(DbPath());
  r->WriteiPodDB();
  ASSERT_TRUE(r->status().ok());
  EXPECT_TRUE(Get(DbPath()) == image);
}

TEST_F(DeviceE2E, DeleteAndModifyKeepSizesAndPlaylistsRight) {
  auto c = Init();
  std::vector<int32_t> ids;
  for (const char* f : {"tagged_v24.mp3", "mp1l3_cbr128_noinfo.mp3", "pcm_s16_stereo_44100.wav"}) {
    TrackInfo info;
    ids.push_back(c->AddTrack(kMedia + f, info));
    ASSERT_GT(ids.back(), 0) << c->status().message();
  }
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());

  auto d = Open();
  ASSERT_TRUE(d->LoadiPodDB());
  const std::string loc = d->GetTrackInfo(ids[1]).sLocation;
  ASSERT_TRUE(stdfs::exists(loc)) << loc;
  const stdfs::path folder = stdfs::path(loc).parent_path();
  const bool alone = std::distance(stdfs::directory_iterator(folder), stdfs::directory_iterator()) == 1;
  const int32_t pls_before = d->GetAllPlayLists().iTotalSize;
  const int32_t pod_before = d->GetAllPodcasts().iTotalSize;
  d->DeleteTrack(ids[1]);
  ASSERT_TRUE(d->status().ok()) << d->status().message();
  EXPECT_FALSE(stdfs::exists(loc));
  ASSERT_TRUE(alone) << "each import has a folder of its own";
  EXPECT_FALSE(stdfs::exists(folder));
  EXPECT_EQ(d->GetAllPlayLists().m_mhlp.m_mhyp[0].iMHYPs2Delete, 1);
  EXPECT_EQ(d->GetAllPodcasts().m_mhlp.m_mhyp[0].iMHYPs2Delete, 1);
  EXPECT_EQ(d->GetAllPlayLists().iTotalSize, pls_before - 120);
  EXPECT_EQ(d->GetAllPodcasts().iTotalSize, pod_before - 120);

  // Modify: the objects are appended in the fixed order, sizes recomputed.
  TrackInfo e = d->GetTrackInfo(ids[2]);
  e.sTitle = "New title";
  e.sAlbum = "Alb";
  e.sArtist = "Art";
  e.sComment = "Com";
  e.sComposer = "Cmp";
  e.sGenre = "Gen";
  e.sYear = "2011";
  const int32_t section_before = d->GetAllTracks().iTotalSize;
  const int32_t track_before = Find(d->GetAllTracks(), ids[2])->iTotalSize;
  d->ModifyTrack(ids[2], e);
  ASSERT_TRUE(d->status().ok()) << d->status().message();
  {
    const MHSD_T t = d->GetAllTracks();
    const MHIT* k = Find(t, ids[2]);
    std::vector<int32_t> types;
    int32_t sum = k->iHeaderSize;
    for (const MHOD_S& o : k->m_mhod) {
      types.push_back(o.iType);
      sum += o.iTotalSize;
      if (o.sAllMHOD.empty()) {
        EXPECT_EQ(o.iTotalSize, 40 + o.iLength);
      }
    }
    EXPECT_EQ(types, (std::vector<int32_t>{1, 2, 3, 4, 8, 12, 5}));
    EXPECT_EQ(k->iTotalSize, sum);
    EXPECT_EQ(k->iNumberOfMHODS, 7);
    EXPECT_EQ(t.iTotalSize, section_before + sum - track_before);
  }
  d->WriteiPodDB();
  ASSERT_TRUE(d->status().ok());

  auto r = Open();
  ASSERT_TRUE(r->LoadiPodDB());
  const MHSD_T t = r->GetAllTracks();
  EXPECT_EQ(t.m_mhlt.iNumberOfllTracks, 2);
  EXPECT_EQ(Find(t, ids[1]), nullptr);
  for (const MHSD_P& p : {r->GetAllPlayLists(), r->GetAllPodcasts()}) {
    ASSERT_EQ(p.m_mhlp.m_mhyp[0].iPlaylistItemsCount, 2);
    EXPECT_FALSE(InFirstPlaylist(p, ids[1]));
  }
  const TrackInfo m = r->GetTrackInfo(ids[2]);
  EXPECT_EQ(m.sTitle, "New title");
  EXPECT_EQ(m.sGenre, "Gen");
  EXPECT_EQ(m.sComposer, "Cmp");
  EXPECT_EQ(m.sYear, "2011");
  EXPECT_EQ(U32(Get(DbPath()), 8), stdfs::file_size(DbPath()));
  // The tracks' sizes add up to the section's.
  int64_t sum = t.iHeaderSize + t.m_mhlt.iHeaderSize;
  for (const MHIT& k : t.m_mhlt.m_mhit) sum += k.iTotalSize;
  EXPECT_EQ(sum, t.iTotalSize);

  // The object that wrote goes on working: another delete, an import and a
  // write without loading in between.
  d->DeleteTrack(ids[0]);
  ASSERT_TRUE(d->status().ok()) << d->status().message();
  TrackInfo more;
  const int32_t fresh = d->AddTrack(kMedia + "pcm_s16_stereo_11025.aiff", more);
  ASSERT_GT(fresh, 0) << d->status().message();
  d->WriteiPodDB();
  ASSERT_TRUE(d->status().ok()) << d->status().message();
  auto again = Open();
  ASSERT_TRUE(again->LoadiPodDB());
  const MHSD_T t2 = again->GetAllTracks();
  std::set<int32_t> left;
  for (const MHIT& k : t2.m_mhlt.m_mhit) left.insert(k.iUniqueID);
  EXPECT_EQ(left, (std::set<int32_t>{ids[2], fresh}));
  for (const MHSD_P& p : {again->GetAllPlayLists(), again->GetAllPodcasts()}) {
    std::set<int32_t> items;
    for (const MHIP& i : p.m_mhlp.m_mhyp[0].m_mhip) items.insert(i.iTrackID);
    EXPECT_EQ(items, left);
    EXPECT_EQ(p.m_mhlp.m_mhyp[0].iPlaylistItemsCount, 2);
  }
  EXPECT_EQ(again->GetTrackInfo(ids[2]).sTitle, "New title");
}

TEST_F(DeviceE2E, RebuildFindsTheFilesAgain) {
  auto c = Init();
  std::map<std::string, TrackInfo> want;  // by location
  for (const char* f : {"tagged_v24.mp3", "pcm_s16_stereo_44100.wav", "pcm_s16_stereo_11025.aiff",
                        "video/tone.aac", "video/h264_aac.mp4"}) {
    TrackInfo info;
    const int32_t id = c->AddTrack(kMedia + f, info);
    ASSERT_GT(id, 0) << f << ": " << c->status().message();
    want[c->GetTrackInfo(id).sLocation] = c->GetTrackInfo(id);
  }
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());
  // An .m4a file is listed but not entered.
  stdfs::create_directories(root_ / "iPod_Control/Music/F00");
  stdfs::copy_file(kMedia + "video/tone.aac", root_ / "iPod_Control/Music/F00/extra.m4a");
  // A file put there by hand, deeper down and named in non-Latin letters.
  const stdfs::path hand = root_ / "iPod_Control/Music/F01/sub/Лето.mp3";
  stdfs::create_directories(hand.parent_path());
  stdfs::copy_file(kMedia + "tagged_v23_v1.mp3", hand);
  stdfs::remove(DbPath());

  for (bool shuffle : {false, true}) {
    SCOPED_TRACE(shuffle ? "shuffle" : "not shuffle");
    host_.rebuild.clear();
    auto r = Open();
    r->iPodShuffle(shuffle);
    ASSERT_TRUE(r->ReBuildDB()) << r->status().message();
    ASSERT_GE(host_.rebuild.size(), 4u);
    EXPECT_EQ(host_.rebuild[0], "Loading Current DB...");
    EXPECT_EQ(host_.rebuild[1], "Retrieving Files...");
    EXPECT_EQ(host_.rebuild[host_.rebuild.size() - 2], "Writting DB...");
    EXPECT_EQ(host_.rebuild.back(), "DONE");
    std::set<std::string> listed;
    for (size_t i = 2; i + 2 < host_.rebuild.size(); ++i) {
      ASSERT_EQ(host_.rebuild[i].rfind("Adding File  ", 0), 0u) << host_.rebuild[i];
      listed.insert(host_.rebuild[i].substr(13));
    }
    EXPECT_EQ(listed.size(), want.size() + 2);
    EXPECT_TRUE(listed.count(hand.string()));
    EXPECT_TRUE(listed.count(Root() + "iPod_Control/Music/F00/extra.m4a") ||
                listed.count((root_ / "iPod_Control/Music/F00/extra.m4a").string()));

    auto l = Open();
    ASSERT_TRUE(l->LoadiPodDB());
    const MHSD_T t = l->GetAllTracks();
    std::map<std::string, TrackInfo> got;
    for (const MHIT& k : t.m_mhlt.m_mhit) {
      TrackInfo i = l->GetTrackInfo(k.iUniqueID);
      got[i.sLocation] = i;
    }
    EXPECT_EQ(got.size(), want.size() + 1 - (shuffle ? 1 : 0));
    ASSERT_TRUE(got.count(hand.string()));
    EXPECT_EQ(got[hand.string()].sTitle, "Café");
    EXPECT_EQ(got[hand.string()].sAlbum, "Οδύσσεια");
    for (const auto& [loc, w] : want) {
      if (shuffle && AsciiLower(stdfs::path(loc).extension().string()) == ".mp4") {
        EXPECT_FALSE(got.count(loc));
        continue;
      }
      ASSERT_TRUE(got.count(loc)) << loc;
      const TrackInfo& g = got[loc];
      // Untagged files are named after the file, which is the device's
      // file now.
      EXPECT_EQ(g.sTitle, w.sArtist.empty() ? stdfs::path(loc).filename().string() : w.sTitle);
      EXPECT_EQ(g.sArtist, w.sArtist);
      EXPECT_EQ(g.sFiletype, w.sFiletype);
      EXPECT_EQ(g.iFileSize, w.iFileSize);
      EXPECT_EQ(g.iTrackTimLength, w.iTrackTimLength);
      EXPECT_EQ(g.iSampleRateInHz, w.iSampleRateInHz);
    }
    stdfs::remove(DbPath());
  }

  // A load that finds no database offers the rebuild; Yes runs it and the
  // load ends with the rebuilt records.
  host_.boxes.clear();
  host_.answers = {kAnswerYes};
  auto l = Open();
  ASSERT_TRUE(l->LoadiPodDB()) << l->status().message();
  ASSERT_FALSE(host_.boxes.empty());
  EXPECT_NE(host_.boxes[0].text.find("rebuild"), std::string::npos);
  EXPECT_EQ(l->GetAllTracks().m_mhlt.m_mhit.size(), want.size() + 1);
  EXPECT_TRUE(stdfs::exists(DbPath()));
}

TEST_F(DeviceE2E, CancelledImportAndFailedWriteLoseNothing) {
  auto c = Init();
  TrackInfo info;
  const int32_t first = c->AddTrack(kMedia + "tagged_v24.mp3", info);
  ASSERT_GT(first, 0);
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());

  // A file big enough for several pieces, cancelled during its copy.
  const stdfs::path big = base_ / "in/big.wav";
  {
    std::string wav = Get(kMedia + "pcm_s16_stereo_44100.wav");
    std::string body(3u << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    // A valid WAVE header with a larger data chunk.
    std::string hdr = wav.substr(0, 44);
    auto put32 = [&](size_t at, uint32_t v) {
      for (int k = 0; k < 4; ++k) hdr[at + static_cast<size_t>(k)] = static_cast<char>(v >> (8 * k));
    };
    put32(4, static_cast<uint32_t>(36 + body.size()));
    put32(40, static_cast<uint32_t>(body.size()));
    Put(big, hdr + body);
  }
  const auto files_before = Snapshot(root_ / "iPod_Control/Music");
  const MHSD_T tracks_before = c->GetAllTracks();
  const MHSD_P pls_before = c->GetAllPlayLists();
  clsCadenza* cp = c.get();
  host_.on_do_events = [cp] { cp->CancelUpdate(); };
  TrackInfo bi;
  EXPECT_EQ(c->AddTrack(big.string(), bi), -1);
  host_.on_do_events = nullptr;
  EXPECT_EQ(c->status().code(), Status::Code::kCancelled);
  EXPECT_EQ(Snapshot(root_ / "iPod_Control/Music"), files_before);
  EXPECT_EQ(c->GetAllTracks().iTotalSize, tracks_before.iTotalSize);
  EXPECT_EQ(c->GetAllTracks().m_mhlt.m_mhit.size(), 1u);
  EXPECT_EQ(c->GetAllPlayLists().iTotalSize, pls_before.iTotalSize);
  // The cancel stopped that copy and nothing else: a rebuild that follows
  // runs to its end.
  {
    auto b = Open();
    ASSERT_TRUE(b->ReBuildDB());
    EXPECT_EQ(b->GetAllTracks().m_mhlt.m_mhit.size(), 1u) << "a stale cancel stopped the rebuild";
  }
  ASSERT_TRUE(c->LoadiPodDB());
  // The next import works and the earlier track stays.
  TrackInfo wi;
  const int32_t second = c->AddTrack(kMedia + "pcm_s16_stereo_44100.wav", wi);
  ASSERT_GT(second, 0) << c->status().message();

  // A write that fails half way leaves the old file byte for byte.
  const std::string old_db = Get(DbPath());
  fs::SetWriteLimitForTesting(static_cast<int64_t>(old_db.size() / 2));
  c->WriteiPodDB();
  fs::SetWriteLimitForTesting(-1);
  EXPECT_FALSE(c->status().ok());
  EXPECT_EQ(Get(DbPath()), old_db);
  EXPECT_EQ(std::distance(stdfs::directory_iterator(root_ / "iPod_Control/iTunes"),
                          stdfs::directory_iterator()),
            1);
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());
  auto r = Open();
  ASSERT_TRUE(r->LoadiPodDB());
  ASSERT_EQ(r->GetAllTracks().m_mhlt.m_mhit.size(), 2u);
  EXPECT_NE(Find(r->GetAllTracks(), first), nullptr);
  EXPECT_NE(Find(r->GetAllTracks(), second), nullptr);

  // A rebuild cancelled after its first file keeps that file's track; the
  // next rebuild is not cancelled by the same request.
  clsCadenza* rp = r.get();
  host_.on_do_events = [&] {
    if (!host_.rebuild.empty() && host_.rebuild.back().rfind("Adding File", 0) == 0) rp->CancelUpdate();
  };
  host_.rebuild.clear();
  ASSERT_TRUE(r->ReBuildDB());
  host_.on_do_events = nullptr;
  EXPECT_EQ(host_.rebuild.back(), "DONE");
  EXPECT_EQ(r->GetAllTracks().m_mhlt.m_mhit.size(), 1u);
  ASSERT_TRUE(r->ReBuildDB());
  EXPECT_EQ(r->GetAllTracks().m_mhlt.m_mhit.size(), 2u) << "a stale cancel stopped the rebuild";
}

// Fake devices that identify themselves through SysInfo or SysInfoExtended.
TEST_F(DeviceE2E, ChecksumDevicesAreSignedOrRefusedBeforeAnythingChanges) {
  const std::string guid_text = "000A27001234ABCD";
  hash58::Guid guid;
  ASSERT_TRUE(hash58::ParseGuid(guid_text, &guid).ok());
  auto sysinfo = [&](const std::string& model, bool with_guid) {
    std::string s = "ModelNumStr: " + model + "\n";
    if (with_guid) s += "FirewireGuid: 0x" + guid_text + "\n";
    Put(root_ / "iPod_Control/Device/SysInfo", s);
  };
  // Builds the same device contents: one imported track, one deleted.
  auto populate = [&]() {
    stdfs::remove_all(root_);
    stdfs::create_directories(root_);
  };

  // Signed devices: classic (xB029) and nano 3G (xA978).
  for (const char* model : {"xB029", "xA978"}) {
    SCOPED_TRACE(model);
    populate();
    auto c = Init();
    sysinfo(model, true);
    TrackInfo a, b;
    const int32_t one = c->AddTrack(kMedia + "tagged_v24.mp3", a);
    const int32_t two = c->AddTrack(kMedia + "pcm_s16_stereo_44100.wav", b);
    ASSERT_GT(one, 0) << c->status().message();
    ASSERT_GT(two, 0);
    c->DeleteTrack(one);
    c->WriteiPodDB();
    ASSERT_TRUE(c->status().ok()) << c->status().message();
    const std::string image = Get(DbPath());
    EXPECT_TRUE(hash58::Verify(image, guid).ok());
    uint16_t scheme = 0;
    ASSERT_TRUE(hash58::ReadScheme(image, &scheme));
    EXPECT_EQ(scheme, hash58::kSchemeHash58);
    auto r = Open();
    ASSERT_TRUE(r->LoadiPodDB());
    EXPECT_EQ(r->GetAllTracks().m_mhlt.iNumberOfllTracks, 1);
    r->WriteiPodDB();  // a second write of the loaded file signs it the same
    EXPECT_EQ(Get(DbPath()), image);
  }

  // Video 5G: no checksum; the write is the same bytes as with no SysInfo.
  {
    populate();
    auto c = Init();
    TrackInfo a;
    ASSERT_GT(c->AddTrack(kMedia + "tagged_v24.mp3", a), 0);
    c->WriteiPodDB();
    ASSERT_TRUE(c->status().ok());
    const std::string plain = Get(DbPath());
    sysinfo("xA147", true);
    auto r = Open();
    ASSERT_TRUE(r->LoadiPodDB());
    r->WriteiPodDB();
    ASSERT_TRUE(r->status().ok()) << r->status().message();
    EXPECT_EQ(Get(DbPath()), plain);
    uint16_t scheme = 9;
    ASSERT_TRUE(hash58::ReadScheme(plain, &scheme));
    EXPECT_EQ(scheme, hash58::kSchemeNone);
  }

  // Refused devices: every write and import leaves every file as it was.
  struct Refused {
    std::string name;
    std::function<void()> make;
    std::string says;
  };
  const std::vector<Refused> refused = {
      {"nano 5G", [&] { sysinfo("xC027", true); }, "hash72"},
      {"nano 6G", [&] { sysinfo("xC688", true); }, "cannot produce"},
      {"classic without GUID", [&] { sysinfo("xC293", false); }, "FirewireGuid"},
      {"damaged SysInfoExtended",
       [&] { Put(root_ / "iPod_Control/Device/SysInfoExtended", "<?xml version=\"1.0\"?><plist><dict><key>"); },
       "damaged"},
  };
  for (const Refused& k : refused) {
    SCOPED_TRACE(k.name);
    populate();
    {
      auto c = Init();
      TrackInfo a;
      ASSERT_GT(c->AddTrack(kMedia + "tagged_v24.mp3", a), 0);
      c->WriteiPodDB();
      ASSERT_TRUE(c->status().ok());
    }
    k.make();
    const auto before = Snapshot(root_);
    host_.boxes.clear();
    auto c = Open();
    ASSERT_TRUE(c->LoadiPodDB());
    TrackInfo a;
    EXPECT_EQ(c->AddTrack(kMedia + "pcm_s16_stereo_44100.wav", a), -1);
    EXPECT_FALSE(c->status().ok());
    EXPECT_NE(c->status().message().find(k.says), std::string::npos) << c->status().message();
    TrackInfo e = c->GetTrackInfo(c->GetAllTracks().m_mhlt.m_mhit[0].iUniqueID);
    e.sTitle = "changed";
    c->ModifyTrack(c->GetAllTracks().m_mhlt.m_mhit[0].iUniqueID, e);
    c->WriteiPodDB();
    EXPECT_FALSE(c->status().ok());
    EXPECT_NE(c->status().message().find(k.says), std::string::npos) << c->status().message();
    ASSERT_FALSE(host_.boxes.empty());
    EXPECT_NE(host_.boxes.back().text.find(k.says), std::string::npos);
    EXPECT_EQ(Snapshot(root_), before);
  }
}

TEST_F(DeviceE2E, CommandLineToolManagesADevice) {
  const std::string cli = Quote(CADENZA_CLI_PATH);
  const std::string dev = " --device " + Quote(root_.string()) + " ";
  RunResult r = RunTool(cli + " init " + Quote(root_.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  const stdfs::path in = base_ / "in";
  stdfs::create_directories(in / "sub");
  stdfs::copy_file(kMedia + "tagged_v24.mp3", in / "a.mp3");
  stdfs::copy_file(kMedia + "pcm_s16_stereo_44100.wav", in / "sub/b.wav");
  Put(in / "notes.txt", "not media");
  r = RunTool(cli + dev + "add " + Quote(in.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("2 added, 1 not supported, 0 failed"), std::string::npos) << r.out;

  r = RunTool(cli + dev + "--json --no-images tracks");
  ASSERT_EQ(r.status, 0);
  json j = json::parse(r.out);
  ASSERT_EQ(j["m_mhlt"]["iNumberOfllTracks"], 2);
  const json& tracks = j["m_mhlt"]["m_mhit"];
  ASSERT_EQ(tracks.size(), 2u);
  // Byte strings are printed as hex: "MP3 " and "WAV ".
  EXPECT_EQ(tracks[0]["sFiletype"], "4d503320");
  EXPECT_EQ(tracks[1]["sFiletype"], "57415620");
  EXPECT_EQ(tracks[0]["m_mhod"][0]["sString"], "Grüße aus Köln");
  const int first = tracks[0]["iUniqueID"].get<int>();
  const int second = tracks[1]["iUniqueID"].get<int>();

  r = RunTool(cli + dev + "edit " + std::to_string(second) + " --title " + Quote("Neuer Titel"));
  ASSERT_EQ(r.status, 0) << r.out;
  r = RunTool(cli + dev + "rm " + std::to_string(first));
  ASSERT_EQ(r.status, 0) << r.out;
  r = RunTool(cli + dev + "write");
  ASSERT_EQ(r.status, 0);
  // Unknown ids fail and change nothing.
  const std::string written = Get(root_ / "iPod_Control/iTunes/itunesDB");
  r = RunTool(cli + dev + "edit 9999 --title x");
  EXPECT_NE(r.status, 0);
  r = RunTool(cli + dev + "rm 9999");
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(Get(root_ / "iPod_Control/iTunes/itunesDB") == written);

  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  const MHSD_T t = c->GetAllTracks();
  ASSERT_EQ(t.m_mhlt.m_mhit.size(), 1u);
  EXPECT_EQ(c->GetTrackInfo(second).sTitle, "Neuer Titel");
  EXPECT_TRUE(stdfs::exists(c->GetTrackInfo(second).sLocation));

  // A damaged database, answered No: an error and the file as it was.
  const stdfs::path db = root_ / "iPod_Control/iTunes/itunesDB";
  std::string damaged = Get(db);
  damaged.resize(damaged.size() / 2);
  Put(db, damaged);
  r = RunTool(cli + dev + "--no info");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(Get(db), damaged);
  r = RunTool(cli + dev + "--no write");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(Get(db), damaged);
}

}  // namespace
}  // namespace cadenza
