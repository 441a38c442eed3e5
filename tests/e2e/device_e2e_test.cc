// End to end on real device folders: real media files imported, the
// database written and read back, rebuilds, cancels and a device refused.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "platform/text.h"
#include "tests/e2e/e2e_util.h"

namespace cadenza::e2e {
namespace {

// Every file below a folder with its bytes.
std::map<std::string, std::string> Snapshot(const stdfs::path& dir) {
  std::map<std::string, std::string> out;
  for (auto& e : stdfs::recursive_directory_iterator(dir))
    out[e.path().string()] = e.is_regular_file() ? ReadBytes(e.path()) : "<dir>";
  return out;
}
// The track ids of a section's first playlist.
std::multiset<int32_t> Items(const MHSD_P& p) {
  std::multiset<int32_t> out;
  for (const MHIP& i : p.m_mhlp.m_mhyp.at(0).m_mhip) out.insert(i.iTrackID);
  return out;
}

class DeviceE2E : public E2ETest {
 protected:
  std::unique_ptr<clsCadenza> Open() { return E2ETest::Open(base_ / "ipod"); }
  stdfs::path Db() const { return E2ETest::Db(base_ / "ipod"); }
  // A fresh device (the empty database and a Music folder) with the given
  // media files imported; their ids go to `ids`.
  std::unique_ptr<clsCadenza> Init(const std::vector<std::string>& files,
                                   std::vector<int32_t>* ids = nullptr) {
    stdfs::remove_all(base_ / "ipod");
    stdfs::create_directories(base_ / "ipod/iPod_Control/Music");
    auto c = Open();
    EXPECT_TRUE(c->ResetiPodDB() && c->LoadiPodDB()) << c->status().message();
    for (const std::string& f : files) {
      TrackInfo info;
      const int32_t id = c->AddTrack(kMedia + f, info);
      EXPECT_GT(id, 0) << f << ": " << c->status().message();
      if (ids) ids->push_back(id);
    }
    return c;
  }
};

TEST_F(DeviceE2E, ImportedFilesAreWrittenAndReadBackWithEveryField) {
  // Rates as ffprobe gives them; lengths of the signals encoded (ffprobe
  // adds the encoder's padding). Raw AAC streams are music, not movies;
  // untagged files are named after the file.
  struct Case {
    std::string file, type, title;
    int type2, movie, rate, ms;
  };
  const Case cases[] = {
      {"tagged_v24.mp3", "MP3 ", "Grüße aus Köln|Björk Ωmega|Album ✓|Jänis|Rock|2004|", 1, 0, 44100,
       1000},
      {"tagged_v23_v1.mp3", "MP3 ", "Café|Señor|Οδύσσεια||Jazz|1999|", 1, 0, 44100, 1000},
      {"pcm_s16_stereo_44100.wav", "WAV ", "pcm_s16_stereo_44100.wav|", 0, 0, 44100, 500},
      {"pcm_s16_stereo_11025.aiff", "AIFF", "pcm_s16_stereo_11025.aiff|", 0, 0, 11025, 2000},
      {"video/tone.aac", "AAC ", "tone.aac|", 0, 0, 44100, 1000},
      {"video/h264_aac.mp4", "MP4 ", "h264_aac.mp4|", 0, 1, 44100, 1000},
  };
  std::vector<std::string> files;
  for (const Case& k : cases) files.push_back(k.file);
  std::vector<int32_t> ids;
  auto c = Init(files, &ids);
  ASSERT_EQ(ids.size(), files.size());
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok()) << c->status().message();

  auto r = Open();
  ASSERT_TRUE(r->LoadiPodDB());
  const MHSD_T tracks = r->GetAllTracks();
  ASSERT_EQ(tracks.m_mhlt.m_mhit.size(), files.size());
  std::set<std::string> locations;
  for (size_t k = 0; k < files.size(); ++k) {
    const Case& want = cases[k];
    SCOPED_TRACE(want.file);
    const MHIT& t = tracks.m_mhlt.m_mhit[k];
    ASSERT_EQ(t.iUniqueID, ids[k]);
    EXPECT_EQ(std::string_view(t.sFiletype), want.type);
    EXPECT_EQ(t.iType2, want.type2);
    EXPECT_EQ(t.iMovieFileFlag, want.movie);
    EXPECT_EQ(static_cast<uint32_t>(t.iSampleRate) >> 16, static_cast<uint32_t>(want.rate));
    EXPECT_NEAR(t.iTrackTimeLength, want.ms, 50);
    EXPECT_EQ(static_cast<uintmax_t>(t.iTrackSize), stdfs::file_size(kMedia + want.file));
    // The file is copied whole, under a name of its own with its type's
    // extension.
    const TrackInfo got = r->GetTrackInfo(ids[k]);
    EXPECT_EQ(Summary(got).rfind(want.title, 0), 0u) << Summary(got);
    EXPECT_TRUE(ReadBytes(got.sLocation) == ReadBytes(kMedia + want.file));
    EXPECT_TRUE(locations.insert(got.sLocation).second);
    EXPECT_EQ(AsciiLower(stdfs::path(got.sLocation).extension().string()),
              stdfs::path(want.file).extension().string());
  }
  const std::multiset<int32_t> all(ids.begin(), ids.end());
  EXPECT_EQ(Items(r->GetAllPlayLists()), all);
  EXPECT_EQ(Items(r->GetAllPodcasts()), all);

  // The object that wrote goes on working: a delete, an import and a write
  // without loading in between.
  c->DeleteTrack(ids[0]);
  TrackInfo more;
  const int32_t fresh = c->AddTrack(kMedia + "pcm_s16_stereo_11025.aiff", more);
  ASSERT_GT(fresh, 0) << c->status().message();
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok()) << c->status().message();
  auto again = Open();
  ASSERT_TRUE(again->LoadiPodDB());
  std::multiset<int32_t> left(ids.begin() + 1, ids.end());
  left.insert(fresh);
  EXPECT_EQ(Items(again->GetAllPlayLists()), left);
  EXPECT_EQ(Items(again->GetAllPodcasts()), left);
  EXPECT_EQ(again->GetAllTracks().m_mhlt.m_mhit.size(), left.size());
}

TEST_F(DeviceE2E, RebuildFindsTheFilesAgain) {
  std::vector<int32_t> ids;
  auto c = Init(
      {"tagged_v24.mp3", "pcm_s16_stereo_44100.wav", "video/tone.aac", "video/h264_aac.mp4"}, &ids);
  std::map<std::string, std::string> imported;  // summaries by location
  for (int32_t id : ids) {
    TrackInfo i = c->GetTrackInfo(id);
    // Untagged files are named after the file, which is the device's now.
    if (i.sArtist.empty()) i.sTitle = stdfs::path(i.sLocation).filename().string();
    imported[i.sLocation] = Summary(i);
  }
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());
  // An .m4a file that holds no MP4 is listed but not entered; a file put there by hand,
  // deeper down and named in non-Latin letters, is.
  const stdfs::path m4a = base_ / "ipod/iPod_Control/Music/F00/extra.m4a";
  const stdfs::path hand = base_ / "ipod/iPod_Control/Music/F01/sub/Лето.mp3";
  WriteBytes(m4a, ReadBytes(kMedia + "video/tone.aac"));
  WriteBytes(hand, ReadBytes(kMedia + "tagged_v23_v1.mp3"));

  for (bool shuffle : {false, true}) {
    SCOPED_TRACE(shuffle ? "shuffle" : "not shuffle");
    stdfs::remove(Db());
    host_.rebuild.clear();
    auto r = Open();
    r->iPodShuffle(shuffle);
    ASSERT_TRUE(r->ReBuildDB()) << r->status().message();
    const std::vector<std::string>& steps = host_.rebuild;
    ASSERT_GE(steps.size(), 4u);
    std::set<std::string> listed;
    for (size_t i = 2; i + 2 < steps.size(); ++i) {
      ASSERT_EQ(steps[i].rfind("Adding File  ", 0), 0u) << steps[i];
      listed.insert(steps[i].substr(13));
    }
    EXPECT_EQ(steps[0] + steps[1] + steps[steps.size() - 2] + steps.back(),
              "Loading Current DB...Retrieving Files...Writting DB...DONE");
    EXPECT_EQ(listed.size(), imported.size() + 2);
    EXPECT_TRUE(listed.count(hand.string()) && listed.count(m4a.string()));

    auto l = Open();
    ASSERT_TRUE(l->LoadiPodDB());
    std::map<std::string, std::string> got;
    for (const MHIT& k : l->GetAllTracks().m_mhlt.m_mhit) {
      const TrackInfo i = l->GetTrackInfo(k.iUniqueID);
      got[i.sLocation] = Summary(i);
    }
    EXPECT_EQ(got[hand.string()].rfind("Café|Señor|Οδύσσεια||Jazz|1999|", 0), 0u);
    got.erase(hand.string());
    // A shuffle takes no videos.
    std::map<std::string, std::string> want = imported;
    if (shuffle) std::erase_if(want, [](auto& e) { return AsciiLower(e.first).ends_with(".mp4"); });
    EXPECT_EQ(got, want);
  }

  // A load that finds no database offers the rebuild; Yes runs it and the
  // load ends with the rebuilt records.
  stdfs::remove(Db());
  host_.boxes.clear();
  host_.answers = {kAnswerYes};
  auto l = Open();
  ASSERT_TRUE(l->LoadiPodDB()) << l->status().message();
  ASSERT_FALSE(host_.boxes.empty());
  EXPECT_NE(host_.boxes[0].text.find("rebuild"), std::string::npos);
  EXPECT_EQ(l->GetAllTracks().m_mhlt.m_mhit.size(), imported.size() + 1);
}

// A cancel stops the import or rebuild it interrupts, never the next one.
// (What a cancelled import leaves is checked on byte-built devices.)
TEST_F(DeviceE2E, ACancelStopsOnlyTheWorkItInterrupts) {
  auto c = Init({"tagged_v24.mp3"});
  const stdfs::path big = base_ / "in/big.wav";  // big enough for several pieces
  WriteBytes(big, std::string(3u << 20, 'w'));
  host_.on_do_events = [&] { c->CancelUpdate(); };
  TrackInfo bi;
  bi.sFiletype = "WAV";
  EXPECT_EQ(c->AddTrack(big.string(), bi, false, "", true), -1);
  host_.on_do_events = nullptr;
  EXPECT_EQ(c->status().code(), Status::Code::kCancelled);
  TrackInfo wi;
  ASSERT_GT(c->AddTrack(kMedia + "pcm_s16_stereo_44100.wav", wi), 0) << c->status().message();
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());

  // A rebuild cancelled after its first file keeps that file's track.
  auto r = Open();
  host_.on_do_events = [&] {
    if (!host_.rebuild.empty() && host_.rebuild.back().rfind("Adding File", 0) == 0)
      r->CancelUpdate();
  };
  ASSERT_TRUE(r->ReBuildDB());
  host_.on_do_events = nullptr;
  EXPECT_EQ(host_.rebuild.back(), "DONE");
  EXPECT_EQ(r->GetAllTracks().m_mhlt.m_mhit.size(), 1u);
  ASSERT_TRUE(r->ReBuildDB());
  EXPECT_EQ(r->GetAllTracks().m_mhlt.m_mhit.size(), 2u) << "a stale cancel stopped the rebuild";
}

// A device whose checksum cannot be made (a nano 5G, hash72): imports,
// edits and writes are refused with the reason and leave every file as it
// was. (Which devices are refused: device_info_test; signing: interop.)
TEST_F(DeviceE2E, ARefusedDeviceChangesNothing) {
  Init({"tagged_v24.mp3"})->WriteiPodDB();
  WriteBytes(base_ / "ipod/iPod_Control/Device/SysInfo",
             "ModelNumStr: xC027\nFirewireGuid: 0x000A27001234ABCD\n");
  const auto before = Snapshot(base_ / "ipod");
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  const int32_t first = c->GetAllTracks().m_mhlt.m_mhit.at(0).iUniqueID;
  TrackInfo a;
  EXPECT_EQ(c->AddTrack(kMedia + "pcm_s16_stereo_44100.wav", a), -1);
  EXPECT_NE(c->status().message().find("hash72"), std::string::npos) << c->status().message();
  TrackInfo e = c->GetTrackInfo(first);
  e.sTitle = "changed";
  c->ModifyTrack(first, e);
  c->WriteiPodDB();
  EXPECT_NE(c->status().message().find("hash72"), std::string::npos) << c->status().message();
  ASSERT_FALSE(host_.boxes.empty());
  EXPECT_NE(host_.boxes.back().text.find("hash72"), std::string::npos);
  EXPECT_EQ(Snapshot(base_ / "ipod"), before);
}

}  // namespace
}  // namespace cadenza::e2e
