// Every field of every chunk at the offset doc/format.md gives. The builder
// makes a file whose headers are distinct fill; the records below are set by
// hand, each field to what its documented offset holds in that fill (L(36):
// the 4-byte number at byte 36). The writer must turn them into exactly the
// file and the loader the file into exactly them.
#include <gtest/gtest.h>

#include "db/loader.h"
#include "db/record_json.h"
#include "db/writer.h"
#include "testing/db_builder.h"

namespace cadenza {
namespace {

using namespace testdb;

// The number whose little-endian bytes are the fill at `at`.
uint64_t Fill(size_t at, size_t n) {
  return n == 0 ? 0 : static_cast<uint8_t>(Distinct(at, 1)[0]) | Fill(at + 1, n - 1) << 8;
}
int32_t L(size_t at) { return static_cast<int32_t>(Fill(at, 4)); }
int16_t I(size_t at) { return static_cast<int16_t>(Fill(at, 2)); }
uint8_t U(size_t at) { return static_cast<uint8_t>(Fill(at, 1)); }
uint64_t C(size_t at) { return Fill(at, 8); }
std::string S(size_t at, size_t n) { return Distinct(at, n); }

MHOD_S TitleObject() {  // TextObject(1, u"T", true)
  MHOD_S o;
  o.sID = "mhod", o.iHeaderSize = L(4), o.iTotalSize = 42, o.iType = 1, o.iUnk1 = L(16);
  o.iUnk2 = L(20), o.iPosition = L(24), o.iLength = 2, o.iUnk3 = L(32), o.iUnk4 = L(36);
  o.sString = u"T";
  return o;
}

MHIT Track7() {  // Track(7, {TextObject(1, u"T", true)}, 304, '\0', true)
  MHIT k;
  k.sID = "mhit", k.iHeaderSize = 304, k.iTotalSize = 346, k.iNumberOfMHODS = 1, k.iUniqueID = 7;
  k.iVisible = L(20), k.sFiletype = "\x1b\x1a\x19\x18" /* stored reversed */, k.iType1 = U(28);
  k.iType2 = U(29), k.iFlag1 = U(30), k.iStartRating = U(31), k.sLastModifiedTime = S(32, 4);
  k.iTrackSize = L(36), k.iTrackTimeLength = L(40), k.iTrackNumber = L(44);
  k.iTotalTracksNumber = L(48), k.sTrackYear = S(52, 4), k.iBitrate = L(56), k.iSampleRate = L(60);
  k.iVolume = L(64), k.iStartTime = L(68), k.iStopTime = L(72), k.iSoundCheck = L(76);
  k.iPlayCount = L(80), k.iPlayCount2 = L(84), k.sLastPlayedTime = S(88, 4), k.iDiscNumber = L(92);
  k.iTotalDisks = L(96), k.iUserID = L(100), k.sDateAdded = S(104, 4), k.iBookmarkTime = L(108);
  k.iDB_ID = C(112), k.iCheck = U(120), k.iApplicationRating = U(121), k.iBPM = I(122);
  k.iArtworkCount = I(124), k.iUnk1 = I(126), k.iArtworkSize = L(128), k.iUnk2 = L(132);
  k.iSampleRate2 = L(136), k.sDateReleased = S(140, 4), k.iUnk3 = I(144), k.iExplicitFlasg = I(146);
  k.iUnk4 = L(148), k.iUnk5 = L(152), k.iSkipCount = L(156), k.sLastSkipped = S(160, 4);
  k.iHasArtwork = U(164), k.iSkipWhenShuffle = U(165), k.iRememPlaybackPos = U(166);
  k.iFlag2 = U(167), k.iDB_ID2 = C(168), k.iLyricsFlag = U(176), k.iMovieFileFlag = U(177);
  k.iPlayedMark = U(178), k.iUnk6 = U(179), k.iUnk7 = L(180), k.iPreGap = L(184);
  k.iSampleCount = C(188), k.iUnk8 = L(196), k.iPostGap = L(200), k.iUnk9 = L(204);
  k.iMediaType = L(208), k.iSeasonNumber = L(212), k.iEpisodeNumber = L(216), k.iUnk10 = L(220);
  k.iUnk11 = L(224), k.iUnk12 = L(228), k.iUnk13 = L(232), k.iUnk14 = L(236), k.iUnk15 = L(240);
  k.iUnk16 = L(244), k.iGaplessData = L(248), k.iUnk17 = L(252), k.iGaplessTrackFlag = I(256);
  k.iGaplessAlbumFlag = I(258), k.sUnk18 = S(260, 20), k.iUnk19 = L(280), k.iUnk20 = L(284);
  k.iUnk21 = L(288), k.iUnk22 = L(292), k.iUnk23 = I(296), k.iAlbumID = I(298);
  k.iMHIILink = L(300);
  k.m_mhod = {TitleObject()};
  return k;
}

// Playlist(u"T", {Item(7, true, "", true)}, true, {UrlObject(50, "rules")}, true)
MHYP Playlist7() {
  MHYP y;
  y.sID = "mhyp", y.iHeaderSize = 48, y.iTotlaSize = 199, y.iChildsCount = 2;
  y.iPlaylistItemsCount = 1, y.iIsMasterFLag = U(20), y.sUnk1 = S(21, 3), y.sTimeStamp = S(24, 4);
  y.sPerPlayListID = S(28, 8), y.iUnk2 = L(36), y.iMHODCount = I(40), y.iPodCastFlag = I(42);
  y.iListSortOrder = L(44);
  y.m_mhod_s = TitleObject();
  MHOD_PCD& p = y.m_mhod_pcd.emplace_back();
  p.sID = "mhod", p.iHeaderSize = 24, p.iTotalSize = 29, p.iType = 50;
  p.sAllMHOD = Bytes(UrlObject(50, "rules"));  // kept whole
  MHIP& i = y.m_mhip.emplace_back();
  i.sID = "mhip", i.iHeaderSize = 36, i.iTotalSize = 80, i.iChildCount = 1;
  i.iPodCastGroupFlag = I(16), i.iUnk1 = U(18), i.iUnk2 = U(19), i.iGroupID = L(20);
  i.iTrackID = 7, i.sTimeStamp = S(28, 4), i.sPodCastGroupRefrence = S(32, 4);
  MHOD_POE& e = y.m_mhod_poe.emplace_back();
  e.sID = "mhod", e.iHeaderSize = L(4), e.iTotalSize = 44, e.iType = L(12), e.iUnk1 = L(16);
  e.iUnk2 = L(20), e.iPosition = L(24), e.sUnk3 = S(28, 16);
  return y;
}

std::string Fields(const auto& record) {
  std::string s;
  AppendJson(s, record, {.images = false});
  return s;
}

TEST(LayoutTest, EveryFieldIsWrittenAndReadAtItsOffset) {
  const std::string file = File(
      {TrackSection({Track(7, {TextObject(1, u"T", true)}, 304, '\0', true)}),
       PlaylistSection(2, {Playlist(u"T", {Item(7, true, "", true)}, true, {UrlObject(50, "rules")},
                                    true)})},
      0xF4, -1, true);
  Database db;
  MHBD& h = db.m_MHBD;
  h.sID = "mhbd", h.iHeaderSize = 0xF4, h.iTotalSize = static_cast<int32_t>(file.size());
  h.iUnk1 = L(12), h.iVersion = L(16), h.iNumberOfMHSD = 2, h.sID2 = S(24, 8), h.iUnk2 = I(32);
  h.sUnk3 = S(34, 8), h.iUnk4 = I(42), h.iUnk5 = S(44, 20), h.iLanguageID = I(64);
  h.sLibraryID = S(66, 8), h.sHash = S(74, 20);
  h.sHeaderData = Bytes(file.substr(0, 0xF4));  // a write keeps the header as loaded
  MHSD_T& t = db.m_MHSD_T;
  t.sID = "mhsd", t.iHeaderSize = 96, t.iTotalSize = 534, t.iType = 1;
  t.m_mhlt.sID = "mhlt", t.m_mhlt.iHeaderSize = 92, t.m_mhlt.iNumberOfllTracks = 1;
  t.m_mhlt.m_mhit = {Track7()};
  MHSD_P& p = db.m_MHSD_PlayLists;
  p.sID = "mhsd", p.iHeaderSize = 96, p.iTotalSize = 387, p.iType = 2;
  p.m_mhlp.sID = "mhlp", p.m_mhlp.iHeaderSize = 92, p.m_mhlp.iNumberOfPlaylists = 1;
  p.m_mhlp.m_mhyp = {Playlist7()};

  std::string out;
  WriteStage stage;
  ASSERT_TRUE(BuildDatabaseImage(db, &out, &stage).ok());
  ASSERT_EQ(out.size(), file.size());
  for (size_t i = 0; i < out.size(); ++i)
    if (out[i] != file[i]) FAIL() << "the first wrong byte is at " << i;

  Database loaded;
  ASSERT_TRUE(LoadDatabase(Bytes(file), loaded).ok());
  EXPECT_EQ(Fields(loaded.m_MHBD), Fields(h));
  EXPECT_EQ(Fields(loaded.m_MHSD_T), Fields(t));
  EXPECT_EQ(Fields(loaded.m_MHSD_PlayLists), Fields(p));
}

}  // namespace
}  // namespace cadenza
