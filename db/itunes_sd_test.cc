#include "db/itunes_sd.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testing/temp_dir.h"

namespace cadenza {
namespace {

using std::string_literals::operator""s;

MHIT Track(int32_t id, const std::u16string& location) {
  MHIT t;
  t.iUniqueID = id;
  MHOD_S o;
  o.iType = static_cast<int32_t>(DataObjectType::kLocation);
  o.sString = Utf16Text(location);
  if (!location.empty()) t.m_mhod.push_back(o);
  return t;
}

MHYP List(const std::vector<int32_t>& ids, int16_t podcast = 0, int32_t extra_object = 0) {
  MHYP p;
  p.sPerPlayListID = "\x11\x22\x33\x44\x55\x66\x77\x88";
  p.iPodCastFlag = podcast;
  for (int32_t id : ids) p.m_mhip.emplace_back().iTrackID = id;
  if (extra_object) p.m_mhod_pcd.emplace_back().iType = extra_object;
  return p;
}

// Two playable tracks, one deleted, one without a location; playlists of
// every kind that the iTunesSD leaves out, and one it keeps.
Database TwoTracks() {
  Database db;
  auto& t = db.m_MHSD_T.m_mhlt.m_mhit;
  t.push_back(Track(7, u":iPod_Control:Music:F00:A.mp3"));
  t[0].iStartTime = 1000;
  t[0].iStopTime = 60000;
  t[0].iVolume = -100;
  t[0].iSkipWhenShuffle = 1;
  t[0].iRememPlaybackPos = 1;
  t[0].iMediaType = 8;  // an audiobook
  t[0].iTrackNumber = 3;
  t[0].iDB_ID = 0x0102030405060708;
  t.push_back(Track(-1, u":iPod_Control:Music:F00:Gone.mp3"));
  t.push_back(Track(8, u""));
  t.push_back(Track(9, u":iPod_Control:Music:F01:B.M4A"));
  t[3].iVolume = 255;
  auto& l = db.m_MHSD_PlayLists.m_mhlp.m_mhyp;
  l.push_back(List({7, 9}));
  l[0].iIsMasterFLag = 1;
  l.push_back(List({9, -1, 8, 7, 12345}));
  l.push_back(List({7}, 1));
  l.push_back(List({7}, 0, 50));
  l.push_back(List({-1}));
  return db;
}

std::string Utf16Bytes(std::string_view ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

TEST(ShuffleDatabase, FixedRecordsLayout) {
  std::string img;
  ASSERT_TRUE(BuildShuffleDatabase(TwoTracks(), ShuffleFormat::kFixedRecords, &img).ok());
  ASSERT_EQ(img.size(), 18u + 2 * 558);
  EXPECT_EQ(img.substr(0, 18), "\0\0\x02\x01\x06\0\0\0\x12"s + std::string(9, '\0'));
  // Size, two constants, start and stop in 256 ms steps, volume -100 -> 60,
  // MP3, the path in its slot, not shuffled, remembers its position.
  const std::string a = img.substr(18, 558);
  EXPECT_EQ(
      a.substr(0, 33),
      "\0\x02\x2e\x5a\xa5\x01\0\0\x03\0\0\0\0\0\0\0\0\xea\0\0\0\0\0\0\0\0\x3c\0\0\x01\0\x02\0"s);
  EXPECT_EQ(a.substr(33, 60), Utf16Bytes("/iPod_Control/Music/F00/A.mp3") + "\0\0"s);
  EXPECT_EQ(a.substr(555), "\0\x01\0"s);
  const std::string b = img.substr(18 + 558);
  EXPECT_EQ(b.substr(24, 6), "\0\0\xc8\0\0\x02"s);  // volume 255 -> 200, AAC
  EXPECT_EQ(b.substr(555), "\x01\0\0"s);
  EXPECT_EQ(DetectShuffleFormat(img), ShuffleFormat::kFixedRecords);
}

TEST(ShuffleDatabase, BdhsLayout) {
  std::string img;
  ASSERT_TRUE(BuildShuffleDatabase(TwoTracks(), ShuffleFormat::kBdhs, &img).ok());
  EXPECT_EQ(DetectShuffleFormat(img), ShuffleFormat::kBdhs);
  // Header: 2 tracks, 2 playlists, voice-over on, 1 track that is no
  // audiobook, the track header right behind, the playlist header after
  // 2 records of 372 bytes.
  const uint32_t ph = 64 + 20 + 8 + 2 * 372;
  EXPECT_EQ(img.substr(0, 44), "bdhs\x03\0\0\x02\x40\0\0\0\x02\0\0\0\x02\0\0\0"s +
                                   std::string(9, '\0') + "\x01\0\0\x01\0\0\0\x40\0\0\0"s +
                                   std::string(1, char(ph & 0xFF)) + char(ph >> 8) + "\0\0"s);
  EXPECT_EQ(img.substr(64, 28),
            "hths\x1c\0\0\0\x02\0\0\0"s + std::string(8, '\0') + "\x5c\0\0\0\xd0\x01\0\0"s);
  const std::string r = img.substr(92, 372);
  EXPECT_EQ(r.substr(0, 24), "rths\x74\x01\0\0\xe8\x03\0\0\x60\xea\0\0\x9c\xff\xff\xff\x01\0\0\0"s);
  EXPECT_EQ(r.substr(24, 30), "/iPod_Control/Music/F00/A.mp3\0"s);
  EXPECT_EQ(r.substr(284, 2), "\0\x01"s);  // skipped when shuffling, remembers its position
  EXPECT_EQ(r.substr(316, 2), "\x03\0"s);
  EXPECT_EQ(r.substr(328, 8), "\x08\x07\x06\x05\x04\x03\x02\x01"s);
  EXPECT_EQ(img.substr(464 + 20, 4), "\x02\0\0\0"s);  // AAC
  // Playlists: 2, none podcast, 1 master, none audiobook; the master list
  // (id 0, type 1) with both tracks, then the plain list without the items
  // of deleted, missing or location-less tracks.
  EXPECT_EQ(img.substr(ph, 28), "hphs\x1c\0\0\0\x02\0\0\0\x02\0\x01\0\x02\0\0\0"s + char(ph + 28) +
                                    char((ph + 28) >> 8) + "\0\0"s + char(ph + 80) +
                                    char((ph + 80) >> 8) + "\0\0"s);
  EXPECT_EQ(img.substr(ph + 28, 52), "lphs\x34\0\0\0\x02\0\0\0\x01\0\0\0"s + std::string(8, '\0') +
                                         "\x01\0\0\0"s + std::string(16, '\0') +
                                         "\0\0\0\0\x01\0\0\0"s);
  EXPECT_EQ(img.substr(ph + 80),
            "lphs\x34\0\0\0\x02\0\0\0\x01\0\0\0\x11\x22\x33\x44\x55\x66\x77\x88\x02\0\0\0"s +
                std::string(16, '\0') + "\x01\0\0\0\0\0\0\0"s);
}

TEST(ShuffleDatabase, PathSlotsAndFileTypes) {
  const std::u16string dir = u":iPod_Control:Music:F00:";
  struct Case {
    ShuffleFormat format;
    size_t path_length;  // code units, all ASCII
    bool fits;
  } cases[] = {{ShuffleFormat::kFixedRecords, 260, true},
               {ShuffleFormat::kFixedRecords, 261, false},
               {ShuffleFormat::kBdhs, 255, true},
               {ShuffleFormat::kBdhs, 256, false}};
  for (const Case& c : cases) {
    Database db;
    db.m_MHSD_T.m_mhlt.m_mhit.push_back(
        Track(1, dir + std::u16string(c.path_length - dir.size() - 4, u'x') + u".wav"));
    std::string img;
    const Status s = BuildShuffleDatabase(db, c.format, &img);
    EXPECT_EQ(s.ok(), c.fits) << c.path_length;
    ShuffleContents back;
    if (c.fits) {
      ASSERT_TRUE(ReadShuffleDatabase(img, &back).ok());
      EXPECT_EQ(back.tracks.at(0).path.size(), c.path_length);
      EXPECT_EQ(back.tracks[0].file_type, kShuffleWav);
    } else {
      EXPECT_EQ(s.code(), Status::Code::kInvalid);
      EXPECT_NE(s.message().find("longer than"), std::string::npos) << s.message();
    }
  }
  Database db;
  db.m_MHSD_T.m_mhlt.m_mhit.push_back(Track(1, u":iPod_Control:Music:F00:A.ogg"));
  std::string img;
  EXPECT_EQ(BuildShuffleDatabase(db, ShuffleFormat::kBdhs, &img).code(), Status::Code::kInvalid);
}

TEST(ShuffleDatabase, RoundTripAndDamage) {
  for (ShuffleFormat f : {ShuffleFormat::kFixedRecords, ShuffleFormat::kBdhs}) {
    std::string img;
    ASSERT_TRUE(BuildShuffleDatabase(TwoTracks(), f, &img).ok());
    ShuffleContents c;
    ASSERT_TRUE(ReadShuffleDatabase(img, &c).ok());
    ASSERT_EQ(c.tracks.size(), 2u);
    const ShuffleEntry& a = c.tracks[0];
    EXPECT_EQ(a.path, "/iPod_Control/Music/F00/A.mp3");
    EXPECT_EQ(c.tracks[1].path, "/iPod_Control/Music/F01/B.M4A");
    EXPECT_EQ(a.start_ms, f == ShuffleFormat::kBdhs ? 1000 : 768);
    EXPECT_EQ(a.stop_ms, f == ShuffleFormat::kBdhs ? 60000 : 59904);
    EXPECT_EQ(a.volume, f == ShuffleFormat::kBdhs ? -100 : 60);
    EXPECT_FALSE(a.shuffle);
    EXPECT_TRUE(a.bookmark);
    EXPECT_TRUE(c.tracks[1].shuffle);
    if (f == ShuffleFormat::kBdhs) {
      EXPECT_EQ(a.db_id, 0x0102030405060708u);
      ASSERT_EQ(c.playlists.size(), 2u);
      EXPECT_EQ(c.playlists[0].tracks, (std::vector<uint32_t>{0, 1}));
      EXPECT_EQ(c.playlists[1].tracks, (std::vector<uint32_t>{1, 0}));
      EXPECT_EQ(c.playlists[1].db_id, 0x8877665544332211u);
    }
    // Every cut is noticed; any 4 bytes overwritten read without harm.
    for (size_t n = 0; n < img.size(); ++n)
      EXPECT_EQ(ReadShuffleDatabase(img.substr(0, n), &c).code(), Status::Code::kCorrupt) << n;
    for (size_t at = 0; at + 4 <= img.size(); at += 2) {
      std::string bad = img;
      bad.replace(at, 4, "\xff\xff\xff\x7f");
      const Status s = ReadShuffleDatabase(bad, &c);
      EXPECT_TRUE(s.ok() || s.code() == Status::Code::kCorrupt);
    }
  }
}

TEST(ShuffleDatabase, SamplesFromOtherWriters) {
  const std::filesystem::path dir = CADENZA_SHARED_DIR "/samples";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no samples";
  ShuffleContents c;
  ASSERT_TRUE(ReadShuffleDatabase(ReadBytes(dir / "artm-ipod_db/iTunesSD"), &c).ok());
  EXPECT_EQ(c.format, ShuffleFormat::kFixedRecords);
  EXPECT_EQ(c.version, 0x010800u);
  ASSERT_EQ(c.tracks.size(), 13u);
  EXPECT_EQ(c.tracks[0].path, "/books/Corrupting the Kids/ctk-0010.mp3");
  EXPECT_EQ(c.tracks[0].file_type, kShuffleMp3);
  EXPECT_EQ(c.tracks[0].volume, 100);
  EXPECT_FALSE(c.tracks[0].shuffle);  // audiobook chapters: not shuffled, bookmarked
  EXPECT_TRUE(c.tracks[0].bookmark);

  const std::string theirs = ReadBytes(dir / "ipod-shuffle-4-manager/iTunesSD");
  ASSERT_TRUE(ReadShuffleDatabase(theirs, &c).ok());
  EXPECT_EQ(c.format, ShuffleFormat::kBdhs);
  EXPECT_TRUE(c.tracks.empty() && c.playlists.empty());
}

}  // namespace
}  // namespace cadenza
