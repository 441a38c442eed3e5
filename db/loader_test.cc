#include "db/loader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "testing/db_builder.h"

namespace cadenza {
namespace {

using namespace testdb;

Status Load(const std::string& bytes, Database& db) {
  return LoadDatabase(Bytes(bytes), db);
}

TEST(LoaderTest, DecodesEveryKindOfSectionAndTheTrackFields) {
  std::string file = File({
      TrackSection({Track(7, {TextObject(1, u"Title"), TextObject(2, u":iPod_Control:Music:F00:A.mp3")}),
                    Track(9, {})}),
      PlaylistSection(3, {Playlist(u"Pods", {Item(7)}, true)}),
      PlaylistSection(2, {Playlist(u"Library", {Item(7), Item(9)}, true)}),
      RawSection(4, "albums"),
      RawSection(5, "smart"),
  });
  Database db;
  ASSERT_TRUE(Load(file, db).ok());
  // A last section cut by the end of the file claims bytes that are not
  // there.
  Database cut;
  EXPECT_EQ(Load(file.substr(0, file.size() - 1), cut).code(), Status::Code::kCorrupt);
  const auto& tracks = db.m_MHSD_T.m_mhlt.m_mhit;
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].iUniqueID, 7);
  EXPECT_EQ(tracks[0].sFiletype, "MP3 ");  // stored reversed
  EXPECT_EQ(tracks[0].iTrackSize, 4000000);
  EXPECT_EQ(tracks[0].iSampleRate, static_cast<int32_t>(0xAC440000));
  EXPECT_EQ(PackCurrency(tracks[0].iDB_ID), "\x01\x02\x03\x04\x05\x06\x07\x08");
  EXPECT_EQ(tracks[0].m_mhod[1].sString, u":iPod_Control:Music:F00:A.mp3");
  EXPECT_EQ(tracks[0].sAllData.size(), static_cast<size_t>(tracks[0].iTotalSize));
  EXPECT_TRUE(tracks[1].m_mhod.empty());
  EXPECT_EQ(db.m_MHSD_Podcasts.m_mhlp.m_mhyp[0].m_mhod_s.sString, u"Pods");
  EXPECT_EQ(db.m_MHSD_PlayLists.m_mhlp.m_mhyp[0].m_mhip[1].iTrackID, 9);
  EXPECT_EQ(db.m_MHSD_PlayLists.m_mhlp.m_mhyp[0].m_mhod_poe[1].iType, 100);
  EXPECT_EQ(db.m_MHSD_A.iType, 4);
  EXPECT_EQ(db.m_MHSD_A.sAllData.view().substr(96), "albums");
  EXPECT_EQ(db.m_MHSD_NP.sAllData.view().substr(96), "smart");
  EXPECT_TRUE(db.m_aOtherSections.empty());
  EXPECT_EQ(db.m_iPos, static_cast<int32_t>(file.size()));
}

TEST(LoaderTest, LongHeadersAndNonTextObjectsAreKeptWhole) {
  std::string url = UrlObject(15, "http://example.com/feed");
  std::string file = File({TrackSection({Track(1, {TextObject(1, u""), url}, 0x250, '\x99')})});
  Database db;
  ASSERT_TRUE(Load(file, db).ok());
  const MHIT& t = db.m_MHSD_T.m_mhlt.m_mhit[0];
  EXPECT_EQ(t.iHeaderSize, 0x250);
  EXPECT_EQ(t.m_mhod[0].sString, u"");  // an empty text
  EXPECT_TRUE(t.m_mhod[0].sAllMHOD.empty());
  EXPECT_TRUE(t.m_mhod[1].sString.empty());
  EXPECT_EQ(t.m_mhod[1].sAllMHOD.view(), url);
  EXPECT_EQ(t.sAllData.view().substr(304, 4), "\x99\x99\x99\x99");
}

TEST(LoaderTest, PlaylistsWithoutTitlesAndItemsWithoutOrderEntries) {
  std::string group = TextObject(1, u"Show");
  std::string file = File({PlaylistSection(2, {
      Playlist(u"", {Item(1, false), Item(2, false)}, true),
      Playlist(u"Smart", {Item(3, true, group)}, false, {UrlObject(50, "rules"), UrlObject(52, "index")}),
  })});
  Database db;
  ASSERT_TRUE(Load(file, db).ok());
  const auto& lists = db.m_MHSD_PlayLists.m_mhlp.m_mhyp;
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_TRUE(lists[0].m_mhod_s.sID.empty());
  EXPECT_EQ(lists[0].m_mhip[1].iTrackID, 2);
  EXPECT_TRUE(lists[0].m_mhod_poe[1].sAllMHOD.empty());
  EXPECT_EQ(lists[1].m_mhod_pcd.size(), 2u);
  EXPECT_EQ(lists[1].m_mhod_pcd[1].iType, 52);
  EXPECT_EQ(lists[1].m_mhod_poe[0].sAllMHOD.view(), group);
  EXPECT_EQ(lists[1].m_mhip[0].sHeaderData.size(), 76u);
}

TEST(LoaderTest, UnknownSectionsAndTrailingBytesAreKept) {
  std::string file = File({TrackSection({}), RawSection(8, "artists"), RawSection(6, "x")}, 0xF4, 2) +
                     RawSection(10, "uncounted");
  Database db;
  ASSERT_TRUE(Load(file, db).ok());
  ASSERT_EQ(db.m_aOtherSections.size(), 1u);
  EXPECT_EQ(db.m_aOtherSections[0].iType, 8);
  EXPECT_EQ(db.m_sTrailingData.size(), 96u + 1 + 96 + 9);
}

TEST(LoaderTest, DamagedFilesFailAsCorruptWithoutReadingPastTheEnd) {
  const std::string good = File({TrackSection({Track(1, {TextObject(1, u"A")})})});
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string no_section = good;
  no_section.replace(0xF4, 4, "xxxx");
  std::string huge_count = good;
  huge_count.replace(0xF4 + 96 + 8, 4, LE32(100000));
  std::string zero_object = good;  // a data object of size 0 would never advance
  zero_object.replace(0xF4 + 96 + 92 + 0x184 + 8, 4, LE32(0));
  std::string zero_header = good;
  zero_header.replace(0xF4 + 96 + 92 + 4, 4, LE32(0));
  std::string overflow = good;
  overflow.replace(0xF4 + 96 + 92 + 4, 4, LE32(0x7FFFFFF0));
  for (const Case& c : {Case{"empty", ""}, Case{"short header", good.substr(0, 40)},
                        Case{"no section", no_section}, Case{"cut", good.substr(0, 0xF4 + 96 + 92 + 100)},
                        Case{"count", huge_count}, Case{"zero object", zero_object},
                        Case{"zero header", zero_header}, Case{"overflow", overflow}}) {
    Database db;
    Status st = Load(c.bytes, db);
    EXPECT_EQ(st.code(), Status::Code::kCorrupt) << c.what;
  }
}

TEST(LoaderTest, HeaderCountingNoSectionsStillNeedsOne) {
  Database db;
  EXPECT_TRUE(Load(File({TrackSection({})}, 0xF4, 0), db).ok());
  EXPECT_TRUE(db.m_MHSD_T.sID.empty());
  Database db2;
  EXPECT_FALSE(Load(File({}, 0xF4, 0), db2).ok());
}

// The real databases of other writers.
std::string ReadSample(const std::string& rel) {
  std::filesystem::path p = std::filesystem::path(CADENZA_SHARED_DIR) / "samples" / rel;
  std::string out;
  if (p.extension() == ".gz") {
    gzFile f = gzopen(p.c_str(), "rb");
    if (!f) return {};
    char buf[65536];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    gzclose(f);
    return out;
  }
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(LoaderTest, SamplesOfOtherWritersLoad) {
  if (!std::filesystem::exists(std::filesystem::path(CADENZA_SHARED_DIR) / "samples"))
    GTEST_SKIP() << "no sample databases";
  struct Sample {
    const char* path;
    int tracks, playlists, other_sections;
  };
  for (const Sample& s : {Sample{"libgpod-python-tests/iTunesDB", 0, 2, 0},
                          Sample{"gnupod-testcases/iTunes4.5.iTunesDB", 1, 1, 0},
                          Sample{"gnupod-testcases/gnupod09rc0_normal.iTunesDB.gz", 1181, 8, 0},
                          Sample{"spiff/iTunesDB", 5375, 1, 0},
                          Sample{"artm-ipod_db/iTunesDB", 23, 2, 3},
                          Sample{"ipod-shuffle-4-manager/iTunesDB", 0, 1, 0}}) {
    std::string bytes = ReadSample(s.path);
    ASSERT_FALSE(bytes.empty()) << s.path;
    Database db;
    Status st = Load(bytes, db);
    ASSERT_TRUE(st.ok()) << s.path << ": " << st.message();
    EXPECT_EQ(db.m_MHSD_T.m_mhlt.iNumberOfllTracks, s.tracks) << s.path;
    EXPECT_EQ(static_cast<int>(db.m_MHSD_T.m_mhlt.m_mhit.size()), s.tracks) << s.path;
    EXPECT_EQ(db.m_MHSD_PlayLists.m_mhlp.iNumberOfPlaylists, s.playlists) << s.path;
    EXPECT_EQ(static_cast<int>(db.m_aOtherSections.size()), s.other_sections) << s.path;
  }
}

}  // namespace
}  // namespace cadenza
