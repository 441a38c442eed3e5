// clsCadenza on byte-built device folders, with a scripted host.
#include "cadenza/cadenza.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "db/codec.h"
#include "platform/fs.h"
#include "testing/db_builder.h"
#include "testing/scripted_host.h"
#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using namespace testdb;

std::string Get(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void Put(const stdfs::path& p, const std::string& bytes) {
  stdfs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}
long Entries(const stdfs::path& dir) {
  return std::distance(stdfs::directory_iterator(dir), stdfs::directory_iterator());
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = FreshTestDir("cadenza_dev");
    SetCancelRequest(0);
  }
  void TearDown() override {
    fs::SetWriteLimitForTesting(-1);
    stdfs::remove_all(root_);
  }
  std::string Root() const { return root_.string() + "/"; }
  stdfs::path DbPath() const { return root_ / "iPod_Control/iTunes/iTunesDB"; }
  std::unique_ptr<clsCadenza> Open(Options o = {}) {
    auto c = std::make_unique<clsCadenza>(&host_, o);
    c->initlaize(0, "Test", Root());
    return c;
  }
  // Two tracks with their files, in the podcast playlist and two others;
  // the master playlist holds track 1 twice.
  void MakeDevice() {
    Put(root_ / "iPod_Control/Music/F00/AAAA.mp3", "audio one");
    Put(root_ / "iPod_Control/Music/F01/BBBB.mp3", "audio two");
    Put(DbPath(), File({
        TrackSection({Track(1, {TextObject(1, u"One"), TextObject(2, u":iPod_Control:Music:F00:AAAA.mp3")}),
                      Track(2, {TextObject(1, u"Two"), TextObject(4, u"Artist"),
                                TextObject(2, u":iPod_Control:Music:F01:BBBB.mp3")})}),
        PlaylistSection(3, {Playlist(u"iPod", {Item(1), Item(2)}, true)}),
        PlaylistSection(2, {Playlist(u"iPod", {Item(1), Item(2), Item(1)}, true),
                            Playlist(u"Mix", {Item(2)}, false)}),
    }));
  }
  // The texts of the message boxes shown since the last call.
  std::vector<std::string> Boxes() {
    std::vector<std::string> out;
    for (const auto& b : host_.boxes) out.push_back(b.text);
    host_.boxes.clear();
    return out;
  }

  stdfs::path root_;
  ScriptedHost host_;
};

using Texts = std::vector<std::string>;

TEST_F(DeviceTest, LoadFailuresAskTheRightQuestionsAndNoChangesNothing) {
  auto c = Open();
  EXPECT_FALSE(c->LoadiPodDB());  // neither iTunes nor Music folder
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].title, "iPod DB is Corrupted");
  EXPECT_EQ(host_.boxes[0].style, kMsgYesNo | kMsgExclamation);
  EXPECT_EQ(Boxes(), Texts{"The specified drive is either not the iPod Drive or corrupted iPod drive.\r\n"
                           "Do you want to reset the iPod DB?\r\nClick Yes to load an empty DB."});
  EXPECT_TRUE(stdfs::is_empty(root_));

  stdfs::create_directories(root_ / "iPod_Control/Music");  // music but no database
  EXPECT_FALSE(c->LoadiPodDB());
  EXPECT_EQ(Boxes(), (Texts{"iPod DB is not found, Do you want to rebuild the DB(Using all existing "
                            "Audio/Video files in the iPod)?",
                            "iPod DB is Corrupted,Do you want to reset the iPod DB?\r\n"
                            "Click Yes to load an empty DB."}));
  EXPECT_EQ(c->status().code(), Status::Code::kNotFound);

  const std::string junk = "mhbd" + LE32(0xF4) + std::string(300, 'x');
  Put(DbPath(), junk);
  EXPECT_FALSE(c->LoadiPodDB());
  EXPECT_EQ(Boxes(), (Texts{"iPod DB is corrupted, Do you want to rebuild the DB(Using all existing "
                            "Audio files in the iPod)?",
                            "Do you want to reset the iPod DB?\r\nClick Yes to load an empty DB."}));
  EXPECT_EQ(c->status().code(), Status::Code::kCorrupt);
  EXPECT_EQ(Get(DbPath()), junk);
  EXPECT_FALSE(c->IsLoaded());

  // No root at all, or one that does not exist.
  for (std::string root : {std::string(), (root_ / "absent").string()}) {
    clsCadenza n(&host_);
    n.initlaize(0, "Test", "x");  // then switch to the root under test
    if (root.empty()) n = clsCadenza(&host_);
    else n.initlaize(0, "Test", root);
    EXPECT_FALSE(n.LoadiPodDB());
    ASSERT_EQ(host_.boxes.size(), 1u);
    EXPECT_EQ(host_.boxes[0].title, "iPod is Not connected");
    EXPECT_EQ(Boxes(), Texts{"iPod is Not Connected or Not set as disk use"});
  }
}

TEST_F(DeviceTest, ResetInstallsTheEmptyDatabaseOrReportsTheMissingTemplate) {
  Put(DbPath(), "garbage");
  auto c = Open();
  host_.answers = {kAnswerYes};  // no Music folder: straight to the reset question
  ASSERT_TRUE(c->LoadiPodDB());
  EXPECT_EQ(c->GetAllTracks().m_mhlt.iNumberOfllTracks, 0);
  EXPECT_EQ(c->GetAllPlayLists().m_mhlp.m_mhyp.size(), 1u);
  EXPECT_EQ(c->GetAllPodcasts().m_mhlp.m_mhyp.size(), 1u);
  EXPECT_EQ(Get(DbPath()).substr(0, 4), "mhbd");  // the file the loader reads was replaced
  // The damaged file was kept beside it, and the user told where.
  std::vector<stdfs::path> kept;
  for (auto& e : stdfs::directory_iterator(root_ / "iPod_Control/iTunes"))
    if (e.path() != DbPath()) kept.push_back(e.path());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(Get(kept[0]), "garbage");
  EXPECT_EQ(kept[0].filename().string().rfind("iTunesDB.damaged-", 0), 0u);
  EXPECT_NE(host_.boxes.back().text.find(kept[0].string()), std::string::npos);

  stdfs::remove_all(root_ / "iPod_Control");
  Options o;
  o.component_folder = (root_ / "nowhere").string();
  host_.boxes.clear();
  EXPECT_FALSE(Open(o)->ResetiPodDB());
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].style, kMsgOK | kMsgCritical);
  EXPECT_EQ(Boxes(), Texts{"Cadenza file is missing, Please reinstall the application"});
  EXPECT_TRUE(stdfs::is_directory(root_ / "iPod_Control/iTunes"));
  EXPECT_FALSE(stdfs::exists(DbPath()));
}

TEST_F(DeviceTest, AWriteWithoutALoadOrThatFailsLeavesTheOldFileByteForByte) {
  MakeDevice();
  const std::string before = Get(DbPath());
  auto c = Open();
  c->WriteiPodDB();  // nothing loaded
  EXPECT_FALSE(c->status().ok());
  EXPECT_EQ(Boxes().size(), 1u);
  ASSERT_TRUE(c->LoadiPodDB());
  c->DeleteTrack(2);
  fs::SetWriteLimitForTesting(100);  // the disk fills up after 100 bytes
  c->WriteiPodDB();
  fs::SetWriteLimitForTesting(-1);
  EXPECT_FALSE(c->status().ok());
  EXPECT_EQ(Get(DbPath()), before);
  ASSERT_FALSE(host_.boxes.empty());
  EXPECT_EQ(host_.boxes.back().text.rfind("Error occured while writting iPod DB.\r\nErr Number:", 0), 0u);
  EXPECT_EQ(Entries(root_ / "iPod_Control/iTunes"), 1);  // no temporary left
}

TEST_F(DeviceTest, DeleteMarksTheTrackAndItsItemsAndRemovesItsFile) {
  MakeDevice();
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  const int32_t pls_before = c->GetAllPlayLists().iTotalSize, pod_before = c->GetAllPodcasts().iTotalSize;
  c->DeleteTrack(1);
  ASSERT_TRUE(c->status().ok()) << c->status().message();
  EXPECT_FALSE(stdfs::exists(root_ / "iPod_Control/Music/F00"));  // emptied folder removed
  EXPECT_TRUE(stdfs::exists(root_ / "iPod_Control/Music/F01/BBBB.mp3"));
  EXPECT_EQ(c->GetAllPlayLists().m_mhlp.m_mhyp[0].iMHYPs2Delete, 2);  // it is in there twice
  EXPECT_EQ(c->GetAllPlayLists().iTotalSize, pls_before - 2 * 120);
  EXPECT_EQ(c->GetAllPodcasts().m_mhlp.m_mhyp[0].iMHYPs2Delete, 1);
  EXPECT_EQ(c->GetAllPodcasts().iTotalSize, pod_before - 120);
  c->DeleteTrack(1);  // already marked: nothing more is counted
  EXPECT_EQ(c->DeletedTracks(), 1);
  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());

  ASSERT_TRUE(c->LoadiPodDB());
  MHSD_T t = c->GetAllTracks();
  ASSERT_EQ(t.m_mhlt.iNumberOfllTracks, 1);
  EXPECT_EQ(t.m_mhlt.m_mhit[0].iUniqueID, 2);
  EXPECT_EQ(c->GetAllPlayLists().m_mhlp.m_mhyp[0].iPlaylistItemsCount, 1);
  EXPECT_EQ(c->GetAllPodcasts().m_mhlp.m_mhyp[0].iPlaylistItemsCount, 1);
  EXPECT_EQ(LoadLE32(Get(DbPath()).data() + 8), stdfs::file_size(DbPath()));
}

TEST_F(DeviceTest, DeleteNeverFollowsALocationOutOfTheDevice) {
  const stdfs::path victim = root_.parent_path() / (root_.filename().string() + "_victim");
  Put(victim, "keep me");
  Put(DbPath(), File({TrackSection({Track(1, {TextObject(2, u":..:" + root_.filename().u16string() + u"_victim")})}),
                      PlaylistSection(2, {Playlist(u"iPod", {Item(1)}, true)})}));
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  c->DeleteTrack(1);
  EXPECT_EQ(c->status().code(), Status::Code::kInvalid);
  EXPECT_TRUE(stdfs::exists(victim));
  EXPECT_EQ(c->DeletedTracks(), 1);  // the mark in memory stays
  stdfs::remove(victim);
  c->DeleteTrack(-1);
  EXPECT_EQ(c->status().code(), Status::Code::kInvalid);
}

TEST_F(DeviceTest, ModifyRewritesTextsAndAppendsMissingKindsInOrder) {
  MakeDevice();
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  TrackInfo info = c->GetTrackInfo(2);
  EXPECT_EQ(info.sArtist, "Artist");
  EXPECT_EQ(info.sLocation, Root() + "iPod_Control/Music/F01/BBBB.mp3");
  const int32_t before = c->GetAllTracks().iTotalSize;
  const int32_t track_before = c->GetAllTracks().m_mhlt.m_mhit[1].iTotalSize;
  info.sTitle = "Hello";
  info.sComment = "c";
  info.sComposer = std::string(600, 'k');
  info.sYear = "2008";
  EXPECT_FALSE(c->ModifyTrack(2, info));  // the historic result
  EXPECT_TRUE(c->status().ok());
  const MHIT t = c->GetAllTracks().m_mhlt.m_mhit[1];
  std::vector<int32_t> types;
  int32_t sum = t.iHeaderSize;
  for (const MHOD_S& o : t.m_mhod) {
    types.push_back(o.iType);
    sum += o.iTotalSize;
    if (o.sAllMHOD.empty()) {
      EXPECT_EQ(o.iTotalSize, 40 + o.iLength) << o.iType;
    }
  }
  EXPECT_EQ(types, (std::vector<int32_t>{1, 4, 2, 3, 8, 12, 5}));
  EXPECT_EQ(t.m_mhod[0].iLength, 10);
  EXPECT_EQ(t.m_mhod[5].iLength, 1000);  // new objects are cut to 500
  EXPECT_EQ(t.iTotalSize, sum);
  EXPECT_EQ(t.iNumberOfMHODS, 7);
  EXPECT_EQ(t.sTrackYear, std::string("\xD8\x07\0\0", 4));  // 2008 as a number
  EXPECT_EQ(c->GetTrackInfo(2).sYear, "2008");
  EXPECT_EQ(c->GetAllTracks().iTotalSize, before + sum - track_before);

  EXPECT_FALSE(c->ModifyTrack(77, info));  // an unknown id changes nothing
  EXPECT_EQ(c->status().number(), 9);
  c->GetTrackInfo(77);
  EXPECT_EQ(c->status().number(), 9);
}

TEST_F(DeviceTest, AddTrackCopiesTheFileAndBuildsTheRecords) {
  MakeDevice();
  Put(root_ / "in/song.mp3", std::string(300000, 's'));
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  TrackInfo info;
  info.sTitle = std::string(600, 't');
  info.sArtist = "Artist";
  info.sFiletype = "MP3";
  info.sYear = "1972";
  info.iSampleRateInHz = 44100;
  info.iFileSize = 300000;
  ASSERT_EQ(c->AddTrack((root_ / "in/song.mp3").string(), info, false, "", true), 3) << c->status().message();
  EXPECT_EQ(host_.statuses.back(), "Copying File song.mp3");
  const MHIT t = c->GetAllTracks().m_mhlt.m_mhit.back();
  EXPECT_EQ(t.sFiletype, "MP3 ");
  EXPECT_EQ(t.iType2, 1);
  EXPECT_EQ(t.iHeaderSize, 328);
  EXPECT_EQ(t.iSampleRate, static_cast<int32_t>(0xAC440000));
  EXPECT_EQ(t.iSampleRate2, 0x472C4400);  // 44100.0f
  EXPECT_EQ(t.sTrackYear, std::string("\xB4\x07\0\0", 4));
  EXPECT_EQ(t.iDB_ID, t.iDB_ID2);
  ASSERT_EQ(t.m_mhod.size(), 3u);  // title, artist, location
  EXPECT_EQ(t.m_mhod[0].iLength, 1000);
  EXPECT_EQ(t.m_mhod[0].iTotalSize, 1040);
  std::string loc;
  for (char16_t ch : t.m_mhod[2].sString.u16()) loc += static_cast<char>(ch);
  EXPECT_EQ(loc.rfind(":iPod_Control:Music:A00:", 0), 0u) << loc;
  std::replace(loc.begin(), loc.end(), ':', '/');
  EXPECT_EQ(stdfs::file_size(root_.string() + loc), 300000u);
  MHSD_P p = c->GetAllPlayLists();
  EXPECT_EQ(p.m_mhlp.m_mhyp[0].m_mhip.back().iTrackID, 3);
  EXPECT_EQ(c->GetAllPodcasts().m_mhlp.m_mhyp[0].m_mhip.back().iTrackID, 3);
  EXPECT_EQ(p.m_mhlp.m_mhyp[0].m_mhod_poe.back().iType, 100);

  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());
  ASSERT_TRUE(c->LoadiPodDB());
  EXPECT_EQ(c->GetTrackInfo(3).sYear, "1972");
  EXPECT_EQ(c->GetAllPlayLists().m_mhlp.m_mhyp[0].iPlaylistItemsCount, 4);
}

TEST_F(DeviceTest, ACancelledOrFailedCopyLeavesNothingBehind) {
  MakeDevice();
  Put(root_ / "in/big.mp3", std::string(5 << 20, 'b'));
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  const MHSD_T before = c->GetAllTracks();
  const int32_t pls_before = c->GetAllPlayLists().iTotalSize;
  clsCadenza* cp = c.get();
  host_.on_do_events = [cp] { cp->CancelUpdate(); };
  TrackInfo info;
  info.sFiletype = "MP3";
  EXPECT_EQ(c->AddTrack((root_ / "in/big.mp3").string(), info, false, "", true), -1);
  EXPECT_EQ(c->status().code(), Status::Code::kCancelled);
  EXPECT_TRUE(host_.boxes.empty());  // a cancel is not an error
  EXPECT_EQ(c->GetAllTracks().m_mhlt.m_mhit.size(), before.m_mhlt.m_mhit.size());
  EXPECT_EQ(c->GetAllTracks().iTotalSize, before.iTotalSize);
  EXPECT_EQ(c->GetAllPlayLists().iTotalSize, pls_before);
  EXPECT_FALSE(stdfs::exists(root_ / "iPod_Control/Music/A00"));

  host_.on_do_events = nullptr;
  fs::SetWriteLimitForTesting(1000);
  EXPECT_EQ(c->AddTrack((root_ / "in/big.mp3").string(), info, false, "", true), -1);
  fs::SetWriteLimitForTesting(-1);
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text.rfind("Error while adding " + (root_ / "in/big.mp3").string() + "\r\n", 0), 0u);
  EXPECT_FALSE(stdfs::exists(root_ / "iPod_Control/Music/A00"));
}

TEST_F(DeviceTest, ChosenFoldersFillTheGapsAndCountFilesAsTaken) {
  MakeDevice();
  stdfs::create_directories(root_ / "iPod_Control/Music/A00");
  stdfs::create_directories(root_ / "iPod_Control/Music/A02");
  Put(root_ / "iPod_Control/Music/A01", "a plain file");
  Put(root_ / "in/a.wav", "wave");
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  TrackInfo info;
  info.sFiletype = "WAV";
  ASSERT_GT(c->AddTrack((root_ / "in/a.wav").string(), info, false, "", true), 0);
  EXPECT_TRUE(stdfs::is_directory(root_ / "iPod_Control/Music/A03"));
  const MHIT t = c->GetAllTracks().m_mhlt.m_mhit.back();
  EXPECT_EQ(t.sFiletype, "WAV ");
  EXPECT_EQ(t.iType2, 0);
}

TEST_F(DeviceTest, OnlyRegularFilesWhoseStreamParsesAreSupported) {
  const std::string media = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/";
  const stdfs::path in = root_ / "in";
  std::string noise(65536, '\0');
  std::mt19937 rng(7);
  for (char& ch : noise) ch = static_cast<char>(rng());
  stdfs::create_directories(in / "folder.wav");
  ASSERT_EQ(::mkfifo((in / "pipe.mp3").c_str(), 0600), 0);
  stdfs::create_symlink(media + "pcm_s16_stereo_11025.aiff", in / "link.aiff");
  std::vector<std::pair<std::string, std::string>> cases = {
      {"pipe.mp3", "0 0 Not a regular file: " + (in / "pipe.mp3").string()},
      {"folder.wav", "0 0 Not a regular file: " + (in / "folder.wav").string()},
      {"absent.mp3", "0 0 No such file: " + (in / "absent.mp3").string()},
      {"link.aiff", "1 1 OK"},
      {media + "mp1l3_cbr128_noinfo.mp3", "1 1 OK"},
      {media + "mp3_in_wave.wav", "1 1 OK"},
      {media + "pcm_u8_mono_8000.wav", "1 1 OK"},
  };
  for (const auto& [ext, why] : {std::pair{".mp3", "not a valid MP3 file (no MPEG audio frame found)"},
                                 {".wav", "not a valid WAVE file (no format or data chunk)"},
                                 {".aiff", "not a valid AIFF file (no COMM chunk)"}}) {
    for (const auto& [kind, bytes] : {std::pair<std::string, std::string>{"empty", ""},
                                      {"text", "just some words, not sound\n"}, {"noise", noise}}) {
      Put(in / (kind + ext), bytes);
      cases.emplace_back(kind + ext, std::string("1 0 ") + why);
    }
  }
  auto c = Open();
  for (const auto& [name, want] : cases) {
    TrackInfo info;
    const bool r = c->SetTrackInfo(name.starts_with("/") ? name : (in / name).string(), info);
    EXPECT_EQ(std::to_string(r) + " " + std::to_string(info.isFileSupported) + " " +
                  c->status().ToString(), want) << name;
  }
  // 8 kbit/s MPEG-2.5 frames in a sparse 4 GiB file: more milliseconds than
  // an int32 holds, so the length saturates.
  const std::string header("\xFF\xE3\x18\xC0", 4);
  Put(in / "long.mp3", header + std::string(68, '\0') + header);
  stdfs::resize_file(in / "long.mp3", uint64_t{1} << 32);
  TrackInfo info;
  ASSERT_TRUE(c->SetTrackInfo((in / "long.mp3").string(), info) && info.isFileSupported);
  EXPECT_EQ(info.iTrackTimLength, 2147483647);
}

}  // namespace
}  // namespace cadenza
