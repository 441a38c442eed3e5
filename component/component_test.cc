// clsCadenza on byte-built device folders, with a scripted host.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <set>

#include "cadenza/cadenza.h"
#include "platform/fs.h"
#include "testing/db_builder.h"
#include "testing/scripted_host.h"
#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using namespace testdb;
using Texts = std::vector<std::string>;

const std::string kMedia = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/";

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = FreshTestDir("cadenza_dev"); }
  void TearDown() override {
    fs::SetWriteLimitForTesting(-1);
    stdfs::remove_all(root_);
  }
  std::string Root() const { return root_.string() + "/"; }
  stdfs::path Db() const { return root_ / "iPod_Control/iTunes/iTunesDB"; }
  stdfs::path Music() const { return root_ / "iPod_Control/Music"; }
  std::unique_ptr<clsCadenza> Open(Options o = {}) {
    auto c = std::make_unique<clsCadenza>(&host_, o);
    c->initlaize(0, "Test", Root());
    return c;
  }
  // Two tracks with their files (`first_id` and the next), in the podcast
  // playlist and two others; the master playlist holds the first twice.
  void MakeDevice(int32_t first_id = 1) {
    const int32_t a = first_id, b = first_id + 1;
    WriteBytes(Music() / "F00/AAAA.mp3", "audio one");
    WriteBytes(Music() / "F01/BBBB.mp3", "audio two");
    WriteBytes(Db(),
               File({
                   TrackSection({Track(a, {TextObject(1, u"One"),
                                           TextObject(2, u":iPod_Control:Music:F00:AAAA.mp3")}),
                                 Track(b, {TextObject(1, u"Two"), TextObject(4, u"Artist"),
                                           TextObject(2, u":iPod_Control:Music:F01:BBBB.mp3")})}),
                   PlaylistSection(3, {Playlist(u"iPod", {Item(a), Item(b)}, true)}),
                   PlaylistSection(2, {Playlist(u"iPod", {Item(a), Item(b), Item(a)}, true),
                                       Playlist(u"Mix", {Item(b)}, false)}),
               }));
  }
  // The texts of the message boxes shown since the last call.
  Texts Boxes() {
    Texts out;
    for (const auto& b : host_.boxes) out.push_back(b.text);
    host_.boxes.clear();
    return out;
  }
  // Every music folder name, A00 to Z99, taken by a folder or a plain file.
  void TakeEveryFolderName(bool by_folders) {
    for (char l = 'A'; l <= 'Z'; ++l)
      for (int n = 0; n < 100; ++n) {
        const stdfs::path p = Music() / (l + std::string(n < 10 ? "0" : "") + std::to_string(n));
        by_folders ? (void)stdfs::create_directories(p) : WriteBytes(p, "");
      }
  }
  // Every file and folder below the device root.
  std::set<std::string> Tree() {
    std::set<std::string> out;
    for (auto& e : stdfs::recursive_directory_iterator(root_)) out.insert(e.path().string());
    return out;
  }

  stdfs::path root_;
  ScriptedHost host_;
};

TEST_F(DeviceTest, LoadFailuresAskTheRightQuestionsAndNoChangesNothing) {
  auto c = Open();
  EXPECT_FALSE(c->LoadiPodDB());  // neither iTunes nor Music folder
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].title, "iPod DB is Corrupted");
  EXPECT_EQ(host_.boxes[0].style, kMsgYesNo | kMsgExclamation);
  EXPECT_EQ(Boxes(),
            Texts{"The specified drive is either not the iPod Drive or corrupted iPod drive.\r\n"
                  "Do you want to reset the iPod DB?\r\nClick Yes to load an empty DB."});
  EXPECT_TRUE(stdfs::is_empty(root_));

  stdfs::create_directories(Music());  // music but no database
  EXPECT_FALSE(c->LoadiPodDB());
  EXPECT_EQ(Boxes(),
            (Texts{"iPod DB is not found, Do you want to rebuild the DB(Using all existing "
                   "Audio/Video files in the iPod)?",
                   "iPod DB is Corrupted,Do you want to reset the iPod DB?\r\n"
                   "Click Yes to load an empty DB."}));
  EXPECT_EQ(c->status().code(), Status::Code::kNotFound);

  const std::string junk = "mhbd" + LE32(0xF4) + std::string(300, 'x');
  WriteBytes(Db(), junk);
  EXPECT_FALSE(c->LoadiPodDB());
  EXPECT_EQ(Boxes(),
            (Texts{"iPod DB is corrupted, Do you want to rebuild the DB(Using all existing "
                   "Audio files in the iPod)?",
                   "Do you want to reset the iPod DB?\r\nClick Yes to load an empty DB."}));
  EXPECT_EQ(c->status().code(), Status::Code::kCorrupt);
  EXPECT_EQ(ReadBytes(Db()), junk);
  EXPECT_FALSE(c->IsLoaded());

  // No root at all, or one that does not exist.
  for (std::string root : {std::string(), (root_ / "absent").string()}) {
    clsCadenza n(&host_);
    if (!root.empty()) n.initlaize(0, "Test", root);
    EXPECT_FALSE(n.LoadiPodDB());
    ASSERT_EQ(host_.boxes.size(), 1u);
    EXPECT_EQ(host_.boxes[0].title, "iPod is Not connected");
    EXPECT_EQ(Boxes(), Texts{"iPod is Not Connected or Not set as disk use"});
  }
}

TEST_F(DeviceTest, ResetInstallsTheEmptyDatabaseOrReportsTheMissingTemplate) {
  WriteBytes(Db(), "garbage");
  auto c = Open();
  host_.answers = {kAnswerYes};  // no Music folder: straight to the reset question
  ASSERT_TRUE(c->LoadiPodDB());
  EXPECT_EQ(c->GetAllTracks().m_mhlt.iNumberOfllTracks, 0);
  EXPECT_EQ(c->GetAllPlayLists().m_mhlp.m_mhyp.size(), 1u);
  EXPECT_EQ(c->GetAllPodcasts().m_mhlp.m_mhyp.size(), 1u);
  EXPECT_EQ(ReadBytes(Db()).substr(0, 4), "mhbd");  // the file the loader reads was replaced
  // The damaged file was kept beside it, and the user told where.
  std::vector<stdfs::path> kept;
  for (auto& e : stdfs::directory_iterator(Db().parent_path()))
    if (e.path() != Db()) kept.push_back(e.path());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadBytes(kept[0]), "garbage");
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
  EXPECT_FALSE(stdfs::exists(Db()));
}

TEST_F(DeviceTest, AWriteWithoutALoadOrThatFailsLeavesTheOldFileByteForByte) {
  MakeDevice();
  const std::string before = ReadBytes(Db());
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
  EXPECT_EQ(ReadBytes(Db()), before);
  ASSERT_FALSE(host_.boxes.empty());
  EXPECT_EQ(
      host_.boxes.back().text.rfind("Error occured while writting iPod DB.\r\nErr Number:", 0), 0u);
  EXPECT_EQ(std::distance(stdfs::directory_iterator(Db().parent_path()), {}),
            1);  // no temporary left
}

TEST_F(DeviceTest, WriteFileSizeStoresTheLengthInBytes8To11) {
  const stdfs::path f = root_ / "any.bin";
  WriteBytes(f, std::string(0x10203, 'x'));
  auto c = Open();
  EXPECT_FALSE(c->Write_FileSize(f.string()));  // the historic result, whatever happens
  EXPECT_TRUE(c->status().ok()) << c->status().message();
  const std::string b = ReadBytes(f);
  EXPECT_EQ(
      b, std::string(8, 'x') + std::string("\x03\x02\x01\x00", 4) + std::string(0x10203 - 12, 'x'));
  EXPECT_FALSE(c->Write_FileSize((root_ / "absent").string()));
  EXPECT_FALSE(c->status().ok());
  EXPECT_FALSE(stdfs::exists(root_ / "absent"));
}

TEST_F(DeviceTest, DeleteMarksTheTrackAndItsItemsAndRemovesItsFile) {
  MakeDevice();
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  c->DeleteTrack(1);
  ASSERT_TRUE(c->status().ok()) << c->status().message();
  EXPECT_FALSE(stdfs::exists(Music() / "F00"));  // emptied folder removed
  EXPECT_TRUE(stdfs::exists(Music() / "F01/BBBB.mp3"));
  EXPECT_EQ(c->GetAllPlayLists().m_mhlp.m_mhyp[0].iMHYPs2Delete, 2);  // it is in there twice
  EXPECT_EQ(c->GetAllPodcasts().m_mhlp.m_mhyp[0].iMHYPs2Delete, 1);
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

  // A location out of the device is never followed; the mark stays.
  const stdfs::path victim = root_.parent_path() / (root_.filename().string() + "_victim");
  WriteBytes(victim, "keep me");
  WriteBytes(Db(),
             File({TrackSection({Track(
                       1, {TextObject(2, u":..:" + root_.filename().u16string() + u"_victim")})}),
                   PlaylistSection(2, {Playlist(u"iPod", {Item(1)}, true)})}));
  ASSERT_TRUE(c->LoadiPodDB());
  c->DeleteTrack(1);
  EXPECT_EQ(c->status().code(), Status::Code::kInvalid);
  EXPECT_TRUE(stdfs::exists(victim));
  EXPECT_EQ(c->DeletedTracks(), 1);
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
  }
  EXPECT_EQ(types, (std::vector<int32_t>{1, 4, 2, 3, 8, 12, 5}));
  EXPECT_EQ(t.m_mhod[0].iLength, 10);
  EXPECT_EQ(t.m_mhod[5].iLength, 1000);  // new objects are cut to 500 characters
  EXPECT_EQ(t.m_mhod[5].iTotalSize, 1040);
  EXPECT_EQ(t.iTotalSize, sum);
  EXPECT_EQ(t.iNumberOfMHODS, 7);
  EXPECT_EQ(t.sTrackYear, std::string("\xD8\x07\0\0", 4));  // 2008 as a number

  EXPECT_FALSE(c->ModifyTrack(77, info));  // an unknown id changes nothing
  EXPECT_EQ(c->status().number(), 9);
  c->GetTrackInfo(77);
  EXPECT_EQ(c->status().number(), 9);
}

TEST_F(DeviceTest, AddTrackCopiesTheFileAndBuildsTheRecords) {
  MakeDevice();
  WriteBytes(root_ / "in/song.mp3", std::string(300000, 's'));
  stdfs::create_directories(Music() / "A00");
  stdfs::create_directories(Music() / "A02");
  WriteBytes(Music() / "A01", "a plain file");
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  TrackInfo info;
  info.sTitle = std::string(600, 't');
  info.sArtist = "Artist";
  info.sFiletype = "MP3";
  info.sYear = "1972";
  info.iSampleRateInHz = 44100;
  info.iFileSize = 300000;
  ASSERT_EQ(c->AddTrack((root_ / "in/song.mp3").string(), info, false, "", true), 3)
      << c->status().message();
  EXPECT_EQ(host_.statuses.back(), "Copying File song.mp3");
  const MHIT t = c->GetAllTracks().m_mhlt.m_mhit.back();
  EXPECT_EQ(t.iHeaderSize, 328);
  EXPECT_EQ(t.iSampleRate, static_cast<int32_t>(0xAC440000));
  EXPECT_EQ(t.iSampleRate2, 0x472C4400);  // 44100.0f
  EXPECT_EQ(t.sTrackYear, std::string("\xB4\x07\0\0", 4));
  EXPECT_EQ(t.iDB_ID, t.iDB_ID2);
  ASSERT_EQ(t.m_mhod.size(), 3u);  // title, artist, location
  EXPECT_EQ(t.m_mhod[0].iLength, 1000);
  // The first free folder name: files count as taken.
  const TrackInfo added = c->GetTrackInfo(3);
  EXPECT_EQ(added.sLocation.rfind(Root() + "iPod_Control/Music/A03/", 0), 0u) << added.sLocation;
  EXPECT_EQ(stdfs::file_size(added.sLocation), 300000u);
  MHSD_P p = c->GetAllPlayLists();
  EXPECT_EQ(p.m_mhlp.m_mhyp[0].m_mhip.back().iTrackID, 3);
  EXPECT_EQ(p.m_mhlp.m_mhyp[0].m_mhod_poe.back().iType, 100);
  EXPECT_EQ(c->GetAllPodcasts().m_mhlp.m_mhyp[0].m_mhip.back().iTrackID, 3);

  c->WriteiPodDB();
  ASSERT_TRUE(c->status().ok());
  ASSERT_TRUE(c->LoadiPodDB());
  EXPECT_EQ(c->GetTrackInfo(3).sYear, "1972");
  EXPECT_EQ(c->GetAllPlayLists().m_mhlp.m_mhyp[0].iPlaylistItemsCount, 4);
}

// An import that cannot be done leaves the records, the database file and
// the device's folders as they were.
TEST_F(DeviceTest, AnImportThatCannotBeDoneChangesNothing) {
  WriteBytes(root_ / "in/big.mp3", std::string(5 << 20, 'b'));
  TrackInfo info;
  info.sFiletype = "MP3";
  struct Case {
    std::string name;
    int32_t first_id;
    std::function<void(clsCadenza*)> arrange;
    std::string says;  // in the status
    bool box;          // "Error while adding" shown
  };
  const Case cases[] = {
      {"cancelled", 1, [&](clsCadenza* c) { host_.on_do_events = [c] { c->CancelUpdate(); }; }, "",
       false},
      {"disk full", 1, [](clsCadenza*) { fs::SetWriteLimitForTesting(1000); }, "", true},
      // The largest track id taken: there is no next one.
      {"no track id left", 0x7FFFFFFE, nullptr, "Overflow", true},
      // Every folder name taken by a plain file: no folder for the file,
      // after a bounded search.
      {"no folder", 1,
       [&](clsCadenza*) {
         stdfs::remove_all(Music());
         TakeEveryFolderName(false);
       },
       "music folder", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    stdfs::remove_all(root_ / "iPod_Control");
    MakeDevice(k.first_id);
    auto c = Open();
    ASSERT_TRUE(c->LoadiPodDB());
    host_.boxes.clear();
    if (k.arrange) k.arrange(c.get());
    const MHSD_T tracks = c->GetAllTracks();
    const MHSD_P lists = c->GetAllPlayLists(), pods = c->GetAllPodcasts();
    const std::set<std::string> tree = Tree();
    EXPECT_EQ(c->AddTrack((root_ / "in/big.mp3").string(), info, false, "", true), -1);
    host_.on_do_events = nullptr;
    fs::SetWriteLimitForTesting(-1);
    EXPECT_NE(c->status().message().find(k.says), std::string::npos) << c->status().message();
    if (!k.box) {
      EXPECT_EQ(c->status().code(), Status::Code::kCancelled);
      EXPECT_TRUE(host_.boxes.empty());  // a cancel is not an error
    } else {
      ASSERT_EQ(host_.boxes.size(), 1u);
      EXPECT_EQ(host_.boxes[0].text.rfind(
                    "Error while adding " + (root_ / "in/big.mp3").string() + "\r\n", 0),
                0u);
    }
    EXPECT_EQ(c->GetAllTracks().m_mhlt.m_mhit.size(), tracks.m_mhlt.m_mhit.size());
    EXPECT_EQ(c->GetAllTracks().iTotalSize, tracks.iTotalSize);
    EXPECT_EQ(c->GetAllPlayLists().iTotalSize, lists.iTotalSize);
    EXPECT_EQ(c->GetAllPodcasts().iTotalSize, pods.iTotalSize);
    EXPECT_EQ(Tree(), tree);
  }
}

TEST_F(DeviceTest, WithEveryFolderNameTakenAFileGoesIntoAnExistingFolder) {
  MakeDevice();
  WriteBytes(root_ / "in/a.wav", "wave");
  auto c = Open();
  ASSERT_TRUE(c->LoadiPodDB());
  TrackInfo info;
  info.sFiletype = "WAV";
  // Every name a folder: the file goes into one of them, under a name of
  // five letters, and no folder is made.
  TakeEveryFolderName(true);
  const size_t folders = std::distance(stdfs::directory_iterator(Music()), {});
  const int32_t id = c->AddTrack((root_ / "in/a.wav").string(), info, false, "", true);
  ASSERT_GT(id, 0) << c->status().message();
  const stdfs::path placed = c->GetTrackInfo(id).sLocation;
  EXPECT_EQ(ReadBytes(placed), "wave");
  EXPECT_EQ(placed.stem().string().size(), 5u);
  EXPECT_EQ(placed.parent_path().parent_path(), Music());
  EXPECT_EQ(static_cast<size_t>(std::distance(stdfs::directory_iterator(Music()), {})), folders);
}

TEST_F(DeviceTest, OnlyRegularFilesWhoseStreamParsesAreSupported) {
  const stdfs::path in = root_ / "in";
  std::string noise(65536, '\0');
  std::mt19937 rng(7);
  for (char& ch : noise) ch = static_cast<char>(rng());
  stdfs::create_directories(in / "folder.wav");
  stdfs::create_symlink(kMedia + "pcm_s16_stereo_11025.aiff", in / "link.aiff");
  std::vector<std::pair<std::string, std::string>> cases = {
      // (A FIFO: reliability_test's probe.)
      {"folder.wav", "0 0 Not a regular file: " + (in / "folder.wav").string()},
      {"absent.mp3", "0 0 No such file: " + (in / "absent.mp3").string()},
      {"link.aiff", "1 1 OK"},
      {kMedia + "mp1l3_cbr128_noinfo.mp3", "1 1 OK"},
      {kMedia + "mp3_in_wave.wav", "1 1 OK"},
      {kMedia + "pcm_u8_mono_8000.wav", "1 1 OK"},
  };
  for (const auto& [ext, why] :
       {std::pair{".mp3", "not a valid MP3 file (no MPEG audio frame found)"},
        {".wav", "not a valid WAVE file (no format or data chunk)"},
        {".aiff", "not a valid AIFF file (no COMM chunk)"}}) {
    for (const auto& [kind, bytes] : {std::pair<std::string, std::string>{"empty", ""},
                                      {"text", "just some words, not sound\n"},
                                      {"noise", noise}}) {
      WriteBytes(in / (kind + ext), bytes);
      cases.emplace_back(kind + ext, std::string("1 0 ") + why);
    }
  }
  auto c = Open();
  for (const auto& [name, want] : cases) {
    TrackInfo info;
    const bool r = c->SetTrackInfo(name.starts_with("/") ? name : (in / name).string(), info);
    EXPECT_EQ(std::to_string(r) + " " + std::to_string(info.isFileSupported) + " " +
                  c->status().ToString(),
              want)
        << name;
  }
  // 8 kbit/s MPEG-2.5 frames in a sparse 4 GiB file: more milliseconds than
  // an int32 holds, so the length saturates.
  const std::string header("\xFF\xE3\x18\xC0", 4);
  WriteBytes(in / "long.mp3", header + std::string(68, '\0') + header);
  stdfs::resize_file(in / "long.mp3", uint64_t{1} << 32);
  TrackInfo info;
  ASSERT_TRUE(c->SetTrackInfo((in / "long.mp3").string(), info) && info.isFileSupported);
  EXPECT_EQ(info.iTrackTimLength, 2147483647);
}

}  // namespace
}  // namespace cadenza
