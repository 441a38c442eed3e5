// End to end on real device folders: real media files imported, the
// database written and read back, rebuilds, cancels, devices that check a
// signature, and the command-line tool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
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
#include "tests/e2e/e2e_util.h"
#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using json = nlohmann::json;
using namespace e2e;

// Every file below a folder with its bytes.
std::map<std::string, std::string> Snapshot(const stdfs::path& dir) {
  std::map<std::string, std::string> out;
  for (auto& e : stdfs::recursive_directory_iterator(dir))
    out[e.path().string()] = e.is_regular_file() ? Get(e.path()) : std::string("<dir>");
  return out;
}

class DeviceE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = FreshTestDir("cadenza_e2e");
    root_ = base_ / "ipod";
    stdfs::create_directories(base_ / "nosys");
    Put(base_ / "mountinfo", "");
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
  stdfs::path DbPath() const { return root_ / "iPod_Control/iTunes/iTunesDB"; }
  std::unique_ptr<clsCadenza> Open() {
    auto c = std::make_unique<clsCadenza>(&host_, opts_);
    c->initlaize(0, "Test", Root());
    return c;
  }
  // A fresh device (the empty database and a Music folder) with the given
  // media files imported; their ids go to `ids`.
  std::unique_ptr<clsCadenza> Init(const std::vector<std::string>& files = {},
                                   std::vector<int32_t>* ids = nullptr) {
    stdfs::remove_all(root_);
    stdfs::create_directories(root_ / "iPod_Control/Music");
    auto c = Open();
    EXPECT_TRUE(c->ResetiPodDB()) << c->status().message();
    EXPECT_TRUE(c->LoadiPodDB()) << c->status().message();
    for (const std::string& f : files) {
      TrackInfo info;
      const int32_t id = c->AddTrack(kMedia + f, info);
      EXPECT_GT(id, 0) << f << ": " << c->status().message();
      if (ids) ids->push_back(id);
    }
    return c;
  }
  // The track ids of the master playlist and of the podcast playlist.
  static std::multiset<int32_t> Items(const MHSD_P& p) {
    std::multiset<int32_t> out;
    for (const MHIP& i : p.m_mhlp.m_mhyp.at(0).m_mhip) out.insert(i.iTrackID);
    return out;
  }

  stdfs::path base_, root_;
  Options opts_;
  ScriptedHost host_;
};

TEST_F(DeviceE2E, ImportedFilesAreWrittenAndReadBackWithEveryField) {
  // The stored file type is the extension in capitals; AAC files are
  // classed with the videos.
  const std::vector<std::string> files = {"tagged_v24.mp3", "tagged_v23_v1.mp3", "mp1l3_cbr128_noinfo.mp3",
                                          "pcm_s16_stereo_44100.wav", "pcm_s16_stereo_11025.aiff",
                                          "video/tone.aac", "video/h264_aac.mp4"};
  std::vector<int32_t> ids;
  auto c = Init(files, &ids);
  ASSERT_EQ(ids.size(), files.size());
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok()) << c->status().message();
  EXPECT_EQ(U32(Get(DbPath()), 8), stdfs::file_size(DbPath()));

  auto r = Open();
  ASSERT_TRUE(r->LoadiPodDB());
  const MHSD_T tracks = r->GetAllTracks();
  ASSERT_EQ(tracks.m_mhlt.m_mhit.size(), files.size());
  std::set<std::string> locations;
  for (size_t k = 0; k < files.size(); ++k) {
    const std::string ext = stdfs::path(files[k]).extension().string().substr(1);
    SCOPED_TRACE(files[k]);
    const MHIT& t = tracks.m_mhlt.m_mhit[k];
    ASSERT_EQ(t.iUniqueID, ids[k]);
    EXPECT_EQ(std::string_view(t.sFiletype), (AsciiUpper(ext) + "   ").substr(0, 4));
    EXPECT_EQ(t.iType2, ext == "mp3" ? 1 : 0);
    EXPECT_EQ(t.iMovieFileFlag, ext == "aac" || ext == "mp4" ? 1 : 0);
    EXPECT_GT(t.iBitrate, 0);
    EXPECT_GT(t.iTrackTimeLength, 400);
    // Read back as the reader found it in the file; untagged files are
    // named after the file.
    TrackInfo want;
    ASSERT_TRUE(r->SetTrackInfo(kMedia + files[k], want));
    EXPECT_EQ(static_cast<uint32_t>(t.iSampleRate) >> 16, static_cast<uint32_t>(want.iSampleRateInHz));
    EXPECT_EQ(t.iMediaType, want.iType);
    if (want.sTitle.empty()) want.sTitle = stdfs::path(files[k]).stem().string();
    const TrackInfo got = r->GetTrackInfo(ids[k]);
    EXPECT_EQ(Summary(got), Summary(want));
    // The file is copied whole, under a name of its own with its type's
    // extension, and the track is in the master and podcast playlists.
    EXPECT_EQ(Get(got.sLocation), Get(kMedia + files[k]));
    EXPECT_TRUE(locations.insert(got.sLocation).second);
    EXPECT_EQ(AsciiLower(stdfs::path(got.sLocation).extension().string()), "." + ext);
  }
  const std::multiset<int32_t> all(ids.begin(), ids.end());
  EXPECT_EQ(Items(r->GetAllPlayLists()), all);
  EXPECT_EQ(Items(r->GetAllPodcasts()), all);
  // The tags of the tagged files are what the encoder wrote.
  EXPECT_EQ(Summary(r->GetTrackInfo(ids[0])).rfind("Grüße aus Köln|Björk Ωmega|Album ✓|Jänis|Rock|2004|", 0), 0u);
  EXPECT_EQ(Summary(r->GetTrackInfo(ids[1])).rfind("Café|Señor|Οδύσσεια||Jazz|1999|", 0), 0u);

  // A database written here comes back byte for byte from a load and write.
  const std::string image = Get(DbPath());
  r->WriteiPodDB();
  ASSERT_TRUE(r->status().ok());
  EXPECT_TRUE(Get(DbPath()) == image);

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
  auto c = Init({"tagged_v24.mp3", "pcm_s16_stereo_44100.wav", "pcm_s16_stereo_11025.aiff",
                 "video/tone.aac", "video/h264_aac.mp4"}, &ids);
  std::map<std::string, std::string> want;  // summaries by location
  for (int32_t id : ids) {
    TrackInfo i = c->GetTrackInfo(id);
    // Untagged files are named after the file, which is the device's now.
    if (i.sArtist.empty()) i.sTitle = stdfs::path(i.sLocation).filename().string();
    want[i.sLocation] = Summary(i);
  }
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());
  // An .m4a file is listed but not entered.
  Put(root_ / "iPod_Control/Music/F00/extra.m4a", Get(kMedia + "video/tone.aac"));
  // A file put there by hand, deeper down and named in non-Latin letters.
  const stdfs::path hand = root_ / "iPod_Control/Music/F01/sub/Лето.mp3";
  Put(hand, Get(kMedia + "tagged_v23_v1.mp3"));
  stdfs::remove(DbPath());

  for (bool shuffle : {false, true}) {
    SCOPED_TRACE(shuffle ? "shuffle" : "not shuffle");
    host_.rebuild.clear();
    auto r = Open();
    r->iPodShuffle(shuffle);
    ASSERT_TRUE(r->ReBuildDB()) << r->status().message();
    std::vector<std::string> steps = host_.rebuild;
    ASSERT_GE(steps.size(), 4u);
    std::set<std::string> listed;
    for (size_t i = 2; i + 2 < steps.size(); ++i) {
      ASSERT_EQ(steps[i].rfind("Adding File  ", 0), 0u) << steps[i];
      listed.insert(steps[i].substr(13));
      steps[i] = "Adding File  ";
    }
    EXPECT_EQ(steps[0] + steps[1] + steps[steps.size() - 2] + steps.back(),
              "Loading Current DB...Retrieving Files...Writting DB...DONE");
    EXPECT_EQ(listed.size(), want.size() + 2);
    EXPECT_TRUE(listed.count(hand.string()));
    EXPECT_TRUE(listed.count((root_ / "iPod_Control/Music/F00/extra.m4a").string()));

    auto l = Open();
    ASSERT_TRUE(l->LoadiPodDB());
    std::map<std::string, std::string> got;
    for (const MHIT& k : l->GetAllTracks().m_mhlt.m_mhit) {
      const TrackInfo i = l->GetTrackInfo(k.iUniqueID);
      got[i.sLocation] = Summary(i);
    }
    ASSERT_TRUE(got.count(hand.string()));
    EXPECT_EQ(got[hand.string()].rfind("Café|Señor|Οδύσσεια||Jazz|1999|", 0), 0u);
    got.erase(hand.string());
    // A shuffle takes no videos.
    std::map<std::string, std::string> expected = want;
    if (shuffle) std::erase_if(expected, [](auto& e) { return AsciiLower(e.first).ends_with(".mp4"); });
    EXPECT_EQ(got, expected);
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

TEST_F(DeviceE2E, ACancelStopsOnlyTheWorkItInterrupts) {
  std::vector<int32_t> ids;
  auto c = Init({"tagged_v24.mp3"}, &ids);
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());

  // A file big enough for several pieces, cancelled during its copy: the
  // device's files stay as they were.
  const stdfs::path big = base_ / "in/big.wav";
  Put(big, std::string(3u << 20, 'w'));
  const auto files_before = Snapshot(root_ / "iPod_Control/Music");
  clsCadenza* cp = c.get();
  host_.on_do_events = [cp] { cp->CancelUpdate(); };
  TrackInfo bi;
  bi.sFiletype = "WAV";
  EXPECT_EQ(c->AddTrack(big.string(), bi, false, "", true), -1);
  host_.on_do_events = nullptr;
  EXPECT_EQ(c->status().code(), Status::Code::kCancelled);
  EXPECT_EQ(Snapshot(root_ / "iPod_Control/Music"), files_before);
  // A rebuild that follows runs to its end, and so does the next import.
  {
    auto b = Open();
    ASSERT_TRUE(b->ReBuildDB());
    EXPECT_EQ(b->GetAllTracks().m_mhlt.m_mhit.size(), 1u) << "a stale cancel stopped the rebuild";
  }
  ASSERT_TRUE(c->LoadiPodDB());
  TrackInfo wi;
  ASSERT_GT(c->AddTrack(kMedia + "pcm_s16_stereo_44100.wav", wi), 0) << c->status().message();
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());

  // A rebuild cancelled after its first file keeps that file's track; the
  // next rebuild is not cancelled by the same request.
  auto r = Open();
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

// Fake devices that identify themselves through SysInfo or SysInfoExtended,
// each with one track written before it said what it is.
TEST_F(DeviceE2E, ChecksumDevicesAreSignedOrRefusedBeforeAnythingChanges) {
  const std::string guid_text = "000A27001234ABCD";
  hash58::Guid guid;
  ASSERT_TRUE(hash58::ParseGuid(guid_text, &guid).ok());
  struct Case {
    std::string model;  // empty: a damaged SysInfoExtended
    bool with_guid, signs;
    std::string refusal;  // empty: accepted
  };
  const Case cases[] = {
      {"xB029", true, true, ""},                  // classic
      {"xA978", true, true, ""},                  // nano 3G
      {"xA147", true, false, ""},                 // video 5G: no checksum
      {"xC027", true, false, "hash72"},           // nano 5G
      {"xC688", true, false, "cannot produce"},   // nano 6G
      {"xC293", false, false, "FirewireGuid"},    // classic without its GUID
      {"", false, false, "damaged"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.model + " " + k.refusal);
    Init({"tagged_v24.mp3"})->WriteiPodDB();
    const std::string plain = Get(DbPath());
    if (k.model.empty()) {
      Put(root_ / "iPod_Control/Device/SysInfoExtended", "<?xml version=\"1.0\"?><plist><dict><key>");
    } else {
      Put(root_ / "iPod_Control/Device/SysInfo",
          "ModelNumStr: " + k.model + "\n" + (k.with_guid ? "FirewireGuid: 0x" + guid_text + "\n" : ""));
    }
    const auto before = Snapshot(root_);
    host_.boxes.clear();
    auto c = Open();
    ASSERT_TRUE(c->LoadiPodDB());
    if (!k.refusal.empty()) {  // every import and write leaves every file as it was
      TrackInfo a;
      EXPECT_EQ(c->AddTrack(kMedia + "pcm_s16_stereo_44100.wav", a), -1);
      EXPECT_NE(c->status().message().find(k.refusal), std::string::npos) << c->status().message();
      const int32_t id = c->GetAllTracks().m_mhlt.m_mhit[0].iUniqueID;
      TrackInfo e = c->GetTrackInfo(id);
      e.sTitle = "changed";
      c->ModifyTrack(id, e);
      c->WriteiPodDB();
      EXPECT_NE(c->status().message().find(k.refusal), std::string::npos) << c->status().message();
      ASSERT_FALSE(host_.boxes.empty());
      EXPECT_NE(host_.boxes.back().text.find(k.refusal), std::string::npos);
      EXPECT_EQ(Snapshot(root_), before);
      continue;
    }
    // Written as loaded: signed, or the same bytes as with no SysInfo.
    c->WriteiPodDB();
    ASSERT_TRUE(c->status().ok()) << c->status().message();
    EXPECT_EQ(hash58::Verify(Get(DbPath()), guid).ok(), k.signs);
    EXPECT_TRUE(k.signs || Get(DbPath()) == plain);
    // After an import and a delete; a second write of the loaded file signs
    // it the same.
    TrackInfo a;
    ASSERT_GT(c->AddTrack(kMedia + "pcm_s16_stereo_44100.wav", a), 0) << c->status().message();
    c->DeleteTrack(c->GetAllTracks().m_mhlt.m_mhit[0].iUniqueID);
    c->WriteiPodDB();
    ASSERT_TRUE(c->status().ok()) << c->status().message();
    const std::string image = Get(DbPath());
    EXPECT_EQ(hash58::Verify(image, guid).ok(), k.signs);
    uint16_t scheme = 99;
    ASSERT_TRUE(hash58::ReadScheme(image, &scheme));
    EXPECT_EQ(scheme, k.signs ? hash58::kSchemeHash58 : hash58::kSchemeNone);
    auto r = Open();
    ASSERT_TRUE(r->LoadiPodDB());
    EXPECT_EQ(r->GetAllTracks().m_mhlt.iNumberOfllTracks, 1);
    r->WriteiPodDB();
    EXPECT_EQ(Get(DbPath()), image);
  }
}

TEST_F(DeviceE2E, CommandLineToolManagesADevice) {
  const std::string dev = Quote(CADENZA_CLI_PATH) + " --device " + Quote(root_.string()) + " ";
  RunResult r = Shell(Quote(CADENZA_CLI_PATH) + " init " + Quote(root_.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  const stdfs::path in = base_ / "in";
  Put(in / "a.mp3", Get(kMedia + "tagged_v24.mp3"));
  Put(in / "sub/b.wav", Get(kMedia + "pcm_s16_stereo_44100.wav"));
  Put(in / "notes.txt", "not media");
  r = Shell(dev + "add " + Quote(in.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("2 added, 1 not supported, 0 failed"), std::string::npos) << r.out;

  r = Shell(dev + "--json --no-images tracks");
  ASSERT_EQ(r.status, 0);
  json j = json::parse(r.out);
  ASSERT_EQ(j["m_mhlt"]["iNumberOfllTracks"], 2);
  const json& tracks = j["m_mhlt"]["m_mhit"];
  // Byte strings are printed as hex: "MP3 " and "WAV ".
  EXPECT_EQ(tracks[0]["sFiletype"], "4d503320");
  EXPECT_EQ(tracks[1]["sFiletype"], "57415620");
  EXPECT_EQ(tracks[0]["m_mhod"][0]["sString"], "Grüße aus Köln");
  const int first = tracks[0]["iUniqueID"].get<int>(), second = tracks[1]["iUniqueID"].get<int>();

  for (const std::string& cmd : {"edit " + std::to_string(second) + " --title " + Quote("Neuer Titel"),
                                 "rm " + std::to_string(first), std::string("write")})
    ASSERT_EQ(Shell(dev + cmd).status, 0) << cmd;
  // Unknown ids fail and change nothing.
  const std::string written = Get(DbPath());
  EXPECT_NE(Shell(dev + "edit 9999 --title x").status, 0);
  EXPECT_NE(Shell(dev + "rm 9999").status, 0);
  EXPECT_TRUE(Get(DbPath()) == written);

  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  ASSERT_EQ(c->GetAllTracks().m_mhlt.m_mhit.size(), 1u);
  EXPECT_EQ(c->GetTrackInfo(second).sTitle, "Neuer Titel");
  EXPECT_TRUE(stdfs::exists(c->GetTrackInfo(second).sLocation));

  // A damaged database, answered No: an error and the file as it was.
  const std::string damaged = written.substr(0, written.size() / 2);
  Put(DbPath(), damaged);
  for (const char* cmd : {"--no info", "--no write"}) {
    EXPECT_NE(Shell(dev + cmd).status, 0) << cmd;
    EXPECT_EQ(Get(DbPath()), damaged);
  }
}

}  // namespace
}  // namespace cadenza
