// The iTunesSD we build against the one libgpod writes for the same
// database (gpod_oracle shuffle: itdb_shuffle_write), for a 2nd-generation
// shuffle (fixed records) and for 3rd/4th-generation models (bdhs: libgpod
// writes that layout for them).
#include <tuple>

#include "db/itunes_sd.h"
#include "db/loader.h"
#include "db/writer.h"
#include "tests/e2e/e2e_util.h"

namespace cadenza::e2e {
namespace {

class ShuffleE2E : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = FreshTestDir("cadenza_shuffle"); }
  void TearDown() override { stdfs::remove_all(dir_); }
  stdfs::path Itunes() const { return dir_ / "iPod_Control/iTunes"; }
  int Oracle(const std::string& command, const std::string& options = "") {
    return Shell(Quote(GPOD_ORACLE_PATH) + " " + command + " " + Quote(dir_.string()) + options)
        .status;
  }

  // Gives the first tracks of the device's database start and stop times,
  // volumes and flags, stores it, and loads it back from the file.
  Database VaryAndReload() {
    Database db;
    EXPECT_TRUE(LoadDatabase(Bytes(ReadBytes(Itunes() / "iTunesDB")), db).ok());
    const struct {
      int32_t volume, start, stop;
      uint8_t skip, remember;
    } kVary[] = {
        {-255, 1000, 60000, 1, 1}, {255, 256, 0, 0, 1}, {-100, 0, 5000, 1, 0}, {128, 513, 0, 0, 0}};
    auto& tracks = db.m_MHSD_T.m_mhlt.m_mhit;
    for (size_t i = 0; i < std::size(kVary) && i < tracks.size(); ++i) {
      tracks[i].iVolume = kVary[i].volume;
      tracks[i].iStartTime = kVary[i].start;
      tracks[i].iStopTime = kVary[i].stop;
      tracks[i].iSkipWhenShuffle = kVary[i].skip;
      tracks[i].iRememPlaybackPos = kVary[i].remember;
    }
    std::string image;
    WriteStage stage;
    EXPECT_TRUE(BuildDatabaseImage(db, &image, &stage).ok());
    WriteBytes(Itunes() / "iTunesDB", image);
    Database back;
    EXPECT_TRUE(LoadDatabase(Bytes(image), back).ok());
    return back;
  }

  stdfs::path dir_;
};

// Every field of the track records but the album and artist numbers:
// libgpod numbers albums and artists itself as it writes (1, 2, ... in its
// own album list), which the database records we build from do not carry;
// the public description leaves their use open, so ours hold the track's
// stored album number and no artist number.
void ExpectSameTracks(const ShuffleContents& ours, const ShuffleContents& theirs,
                      bool flip_shuffle) {
  ASSERT_EQ(ours.tracks.size(), theirs.tracks.size());
  auto fields = [](const ShuffleEntry& e) {
    return std::tie(e.path, e.file_type, e.start_ms, e.stop_ms, e.volume, e.bookmark, e.bookmark_ms,
                    e.track_number, e.disc_number, e.db_id, e.pre_gap, e.post_gap, e.sample_count,
                    e.gapless_data);
  };
  for (size_t i = 0; i < ours.tracks.size(); ++i) {
    EXPECT_EQ(fields(ours.tracks[i]), fields(theirs.tracks[i])) << i;
    EXPECT_EQ(ours.tracks[i].shuffle, theirs.tracks[i].shuffle != flip_shuffle) << i;
  }
}

TEST_F(ShuffleE2E, FixedRecordsMatchLibgpod) {
  const stdfs::path src = stdfs::path(CADENZA_SHARED_DIR) / "samples/artm-ipod_db";
  if (!stdfs::exists(src)) GTEST_SKIP() << "no samples";
  // The sample's files laid out as on the device (its SysInfo names a 2nd-generation shuffle).
  WriteBytes(Itunes() / "iTunesDB", ReadBytes(src / "iTunesDB"));
  for (const char* f : {"SysInfo", "SysInfoExtended"})
    WriteBytes(dir_ / "iPod_Control/Device" / f, ReadBytes(src / f));
  const Database db = VaryAndReload();
  ASSERT_EQ(Oracle("shuffle"), 0);
  const std::string theirs = ReadBytes(Itunes() / "iTunesSD");
  std::string ours;
  ASSERT_TRUE(BuildShuffleDatabase(db, ShuffleFormat::kFixedRecords, &ours).ok());
  ShuffleContents a, b;
  ASSERT_TRUE(ReadShuffleDatabase(ours, &a).ok());
  ASSERT_TRUE(ReadShuffleDatabase(theirs, &b).ok());
  EXPECT_EQ(a.tracks.size(), 23u);
  // libgpod stores the skip flag itself in the shuffle byte (1: skipped);
  // the public description of the layout and the files of the desktop
  // software hold 1 there for "played when shuffling" (0 for audiobooks),
  // which we follow.
  ExpectSameTracks(a, b, /*flip_shuffle=*/true);
  // Every other byte (header, constants, padding) is libgpod's.
  for (size_t at = 18 + 555; at < ours.size() && at < theirs.size(); at += 558)
    ours[at] = theirs[at];
  EXPECT_TRUE(ours == theirs);
}

TEST_F(ShuffleE2E, BdhsMatchesLibgpod) {
  for (const char* model : {"xB867", "xC164"}) {  // 3rd and 4th generation
    SCOPED_TRACE(model);
    stdfs::remove_all(dir_);
    ASSERT_EQ(Oracle("make", std::string(" --tracks 3 --playlists 1 --model ") + model), 0);
    const Database db = VaryAndReload();
    ASSERT_EQ(Oracle("shuffle"), 0);
    const std::string theirs = ReadBytes(Itunes() / "iTunesSD");
    std::string ours;
    ASSERT_TRUE(BuildShuffleDatabase(db, ShuffleFormat::kBdhs, &ours).ok());
    ShuffleContents a, b;
    ASSERT_TRUE(ReadShuffleDatabase(ours, &a).ok());
    ASSERT_TRUE(ReadShuffleDatabase(theirs, &b).ok());
    ExpectSameTracks(a, b, /*flip_shuffle=*/false);
    // The same header but for the playlist count: libgpod also writes the
    // podcast list and smart lists, which the iTunesSD we build leaves out.
    ASSERT_GE(theirs.size(), 64u);
    EXPECT_EQ(ours.substr(0, 16) + ours.substr(20, 44),
              theirs.substr(0, 16) + theirs.substr(20, 44));
    // Our master and plain lists are libgpod's lists of the same id and type.
    ASSERT_EQ(a.playlists.size(), 2u);
    for (const ShufflePlaylist& p : a.playlists) {
      auto same = [&](const ShufflePlaylist& q) { return q.db_id == p.db_id && q.type == p.type; };
      auto it = std::find_if(b.playlists.begin(), b.playlists.end(), same);
      ASSERT_NE(it, b.playlists.end()) << p.type;
      EXPECT_EQ(p.tracks, it->tracks);
    }
  }
}

// Through the tool: an import and an edit on a 2nd-generation shuffle
// write its iTunesSD with the database (the sample's own is older and lists
// other files), and libgpod's iTunesSD for the database written reads the
// same; the empty 4th-generation sample, known only by its iTunesSD, gets
// the header the desktop software wrote.
TEST_F(ShuffleE2E, WritesKeepTheShufflesOwnDatabase) {
  const stdfs::path samples = stdfs::path(CADENZA_SHARED_DIR) / "samples";
  if (!stdfs::exists(samples)) GTEST_SKIP() << "no samples";
  for (const char* f : {"iTunesDB", "iTunesSD"})
    WriteBytes(Itunes() / f, ReadBytes(samples / "artm-ipod_db" / f));
  WriteBytes(dir_ / "iPod_Control/Device/SysInfo", ReadBytes(samples / "artm-ipod_db/SysInfo"));
  const std::string cli = Quote(CADENZA_CLI_PATH) + " --device " + Quote(dir_.string()) + " ";
  EXPECT_NE(Shell(cli + "info").out.find("iPod shuffle (model number)"), std::string::npos);
  ASSERT_EQ(Shell(cli + "add " + Quote(kMedia + "tagged_v24.mp3")).status, 0);
  Database db;
  ASSERT_TRUE(LoadDatabase(Bytes(ReadBytes(Itunes() / "iTunesDB")), db).ok());
  const int32_t first = db.m_MHSD_T.m_mhlt.m_mhit.at(0).iUniqueID;
  ASSERT_EQ(Shell(cli + "edit " + std::to_string(first) + " --title Edited").status, 0);
  ShuffleContents ours, theirs;
  ASSERT_TRUE(ReadShuffleDatabase(ReadBytes(Itunes() / "iTunesSD"), &ours).ok());
  ASSERT_EQ(ours.format, ShuffleFormat::kFixedRecords);
  ASSERT_EQ(ours.tracks.size(), 24u);
  const ShuffleEntry& added = ours.tracks.back();
  EXPECT_EQ(added.file_type, kShuffleMp3);
  EXPECT_TRUE(stdfs::exists(dir_.string() + added.path)) << added.path;
  ASSERT_EQ(Oracle("shuffle"), 0);
  ASSERT_TRUE(ReadShuffleDatabase(ReadBytes(Itunes() / "iTunesSD"), &theirs).ok());
  ExpectSameTracks(ours, theirs, /*flip_shuffle=*/true);
  ASSERT_EQ(Shell(cli + "--yes reset").status, 0);  // an empty database, an empty list
  ASSERT_TRUE(ReadShuffleDatabase(ReadBytes(Itunes() / "iTunesSD"), &ours).ok());
  EXPECT_TRUE(ours.tracks.empty());

  stdfs::remove_all(dir_);
  for (const char* f : {"iTunesDB", "iTunesSD"})
    WriteBytes(Itunes() / f, ReadBytes(samples / "ipod-shuffle-4-manager" / f));
  const std::string sample = ReadBytes(Itunes() / "iTunesSD");
  ASSERT_EQ(Shell(cli + "write").status, 0);
  const std::string written = ReadBytes(Itunes() / "iTunesSD");
  // All of the 64-byte header but its version (4 bytes at 4): 0x02000003
  // as libgpod writes it, where the desktop software wrote 0x02010001.
  ASSERT_GE(written.size(), 64u);
  EXPECT_EQ(written.substr(0, 4) + written.substr(8, 56), sample.substr(0, 4) + sample.substr(8, 56));
}

}  // namespace
}  // namespace cadenza::e2e
