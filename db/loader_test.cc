#include "db/loader.h"

#include <gtest/gtest.h>

#include "testing/db_builder.h"

namespace cadenza {
namespace {

using namespace testdb;

Status Load(const std::string& bytes, Database& db) { return LoadDatabase(Bytes(bytes), db); }

TEST(LoaderTest, SectionsGoToTheirRecordsAndOtherBytesAreKept) {
  const std::string trailing = RawSection(6, "uncounted");
  const std::string file =
      File({TrackSection({Track(7, {}), Track(9, {})}),
            PlaylistSection(3, {Playlist(u"Pods", {Item(7)}, true)}),
            PlaylistSection(2, {Playlist(u"Library", {Item(7), Item(9)}, true)}),
            RawSection(4, "albums"), RawSection(5, "smart"), RawSection(8, "artists")}) +
      trailing;
  Database db;
  ASSERT_TRUE(Load(file, db).ok());
  EXPECT_EQ(db.m_MHSD_T.m_mhlt.m_mhit[1].iUniqueID, 9);
  EXPECT_EQ(db.m_MHSD_Podcasts.m_mhlp.m_mhyp[0].m_mhod_s.sString, u"Pods");
  EXPECT_EQ(db.m_MHSD_PlayLists.m_mhlp.m_mhyp[0].m_mhip[1].iTrackID, 9);
  EXPECT_EQ(db.m_MHSD_A.sAllData.view().substr(96), "albums");
  EXPECT_EQ(db.m_MHSD_NP.sAllData.view().substr(96), "smart");
  ASSERT_EQ(db.m_aOtherSections.size(), 1u);
  EXPECT_EQ(db.m_aOtherSections[0].sAllData.view().substr(96), "artists");
  EXPECT_EQ(db.m_sTrailingData.view(), trailing);

  Database none;  // a header may count no sections (one must follow all the same)
  EXPECT_TRUE(Load(File({TrackSection({})}, 0xF4, 0), none).ok());
  EXPECT_TRUE(none.m_MHSD_T.sID.empty());
}

// Long headers, objects not laid out as text, playlists without a title and
// items without an order entry are kept as they are.
TEST(LoaderTest, ChunksOfOtherLayoutsAreKeptWhole) {
  const std::string url = UrlObject(15, "http://example.com/feed"), group = TextObject(1, u"Show");
  const std::string track = Track(1, {TextObject(1, u""), url}, 0x250, '\x99');
  Database db;
  ASSERT_TRUE(Load(File({TrackSection({track}), PlaylistSection(2, {
      Playlist(u"", {Item(1, false), Item(2, false)}, true),
      Playlist(u"Smart", {Item(3, true, group)}, false, {UrlObject(50, "rules"), UrlObject(52, "index")})})}), db).ok());
  const MHIT& t = db.m_MHSD_T.m_mhlt.m_mhit[0];
  EXPECT_EQ(t.sAllData.view(), track);
  EXPECT_EQ(t.m_mhod[0].sString, u"");  // an empty text
  EXPECT_TRUE(t.m_mhod[0].sAllMHOD.empty());
  EXPECT_TRUE(t.m_mhod[1].sString.empty());
  EXPECT_EQ(t.m_mhod[1].sAllMHOD.view(), url);
  const auto& lists = db.m_MHSD_PlayLists.m_mhlp.m_mhyp;
  EXPECT_TRUE(lists[0].m_mhod_s.sID.empty());
  EXPECT_EQ(lists[0].m_mhip[1].iTrackID, 2);
  EXPECT_TRUE(lists[0].m_mhod_poe[1].sAllMHOD.empty());
  ASSERT_EQ(lists[1].m_mhod_pcd.size(), 2u);
  EXPECT_EQ(lists[1].m_mhod_pcd[1].sAllMHOD.view(), UrlObject(52, "index"));
  EXPECT_EQ(lists[1].m_mhod_poe[0].sAllMHOD.view(), group);
}

TEST(LoaderTest, DamagedFilesFailAsCorruptWithoutReadingPastTheEnd) {
  const std::string good = File({TrackSection({Track(1, {TextObject(1, u"A")})})});
  const size_t track = 0xF4 + 96 + 92;
  auto with = [&](size_t at, uint32_t v) { return Lay(good, {{at, LE32(v)}}); };
  struct Case {
    const char* what;
    std::string bytes;
  };
  for (const Case& c : {Case{"empty", ""}, Case{"short header", good.substr(0, 40)},
                        Case{"no section", Lay(good, {{0xF4, "xxxx"}})},
                        Case{"no section, none counted", File({}, 0xF4, 0)},
                        Case{"cut in a track", good.substr(0, track + 100)},
                        Case{"cut by one byte", good.substr(0, good.size() - 1)},
                        Case{"count", with(0xF4 + 96 + 8, 100000)},
                        Case{"object of size 0", with(track + 0x184 + 8, 0)},
                        Case{"track header of size 0", with(track + 4, 0)},
                        Case{"overflow", with(track + 4, 0x7FFFFFF0)}}) {
    Database db;
    EXPECT_EQ(Load(c.bytes, db).code(), Status::Code::kCorrupt) << c.what;
  }
}

}  // namespace
}  // namespace cadenza
