#include "db/writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <map>

#include "db/codec.h"
#include "db/loader.h"
#include "testing/db_builder.h"

namespace cadenza {
namespace {

using namespace testdb;

Database Load(const std::string& bytes) {
  Database db;
  Status st = LoadDatabase(Bytes(bytes), db);
  EXPECT_TRUE(st.ok()) << st.message();
  return db;
}

std::string Write(const Database& db) {
  std::string out;
  WriteStage stage;
  Status st = BuildDatabaseImage(db, &out, &stage);
  EXPECT_TRUE(st.ok()) << st.message();
  return out;
}

uint32_t At(const std::string& file, size_t pos) { return LoadLE32(file.data() + pos); }

// Sections of a file by type, in file order.
std::multimap<uint32_t, std::string> Sections(const std::string& file) {
  std::multimap<uint32_t, std::string> out;
  for (uint32_t pos = At(file, 4); pos + 16 <= file.size() && file.compare(pos, 4, "mhsd") == 0;
       pos += At(file, pos + 8))
    out.emplace(At(file, pos + 12), file.substr(pos, At(file, pos + 8)));
  return out;
}

std::string RichDatabase() {
  return File({
      TrackSection({Track(1, {TextObject(1, u"\u6771\u4eac"), UrlObject(15, "http://x/y.mp3"),
                              TextObject(2, u":iPod_Control:Music:F00:A.mp3")},
                          0x250, '\x99'),
                    Track(2, {TextObject(1, u"Two")})},
                   '\x33'),
      PlaylistSection(3, {Playlist(u"iPod", {Item(1), Item(2, true, TextObject(1, u"Show"))}, true)}),
      PlaylistSection(2, {Playlist(u"iPod", {Item(1), Item(2)}, true),
                          Playlist(u"", {Item(2, false)}, false, {UrlObject(50, "rules")})}),
      RawSection(4, "albums"),
      RawSection(5, "smart"),
      RawSection(8, "artists"),
  });
}

TEST(WriterTest, UnchangedDatabaseIsReproducedByteForByte) {
  const std::string file = RichDatabase();
  EXPECT_EQ(Write(Load(file)), file);
}

TEST(WriterTest, SectionsComeOutInTheirFixedOrderEachUnchanged) {
  const std::string nine = RawSection(9, "nine"), five = RawSection(5, "five"),
                    tracks = TrackSection({Track(3, {})}),
                    lists = PlaylistSection(2, {Playlist(u"P", {}, true)}),
                    pods = PlaylistSection(3, {Playlist(u"Q", {}, true)});
  EXPECT_EQ(Write(Load(File({nine, lists, five, tracks, pods}))),
            File({tracks, pods, lists, five, nine}));
}

TEST(WriterTest, MarkedTracksAndItemsAreLeftOutAndCountsLowered) {
  Database db = Load(RichDatabase());
  db.m_MHSD_T.m_mhlt.m_mhit[0].iUniqueID = -1;
  db.m_iDeletedTracks = 1;
  auto& p = db.m_MHSD_PlayLists.m_mhlp.m_mhyp[0];
  p.m_mhip[0].iTrackID = -1;
  p.iMHYPs2Delete = 1;
  std::string out = Write(db);
  Database again = Load(out);
  ASSERT_EQ(again.m_MHSD_T.m_mhlt.iNumberOfllTracks, 1);
  EXPECT_EQ(again.m_MHSD_T.m_mhlt.m_mhit[0].iUniqueID, 2);
  const auto& q = again.m_MHSD_PlayLists.m_mhlp.m_mhyp[0];
  ASSERT_EQ(q.iPlaylistItemsCount, 1);
  EXPECT_EQ(q.m_mhip[0].iTrackID, 2);
  EXPECT_EQ(At(out, 8), out.size());
}

TEST(WriterTest, RecordsThatDoNotMatchTheirCountsFailTheWrite) {
  Database tracks = Load(RichDatabase()), lists = Load(RichDatabase());
  tracks.m_MHSD_T.m_mhlt.iNumberOfllTracks = 3;
  lists.m_MHSD_PlayLists.m_mhlp.m_mhyp[1].iChildsCount = 4;
  std::string out;
  WriteStage stage;
  EXPECT_EQ(BuildDatabaseImage(tracks, &out, &stage).number(), 9);
  EXPECT_EQ(stage, WriteStage::kTrackList);
  EXPECT_EQ(BuildDatabaseImage(lists, &out, &stage).number(), 9);
  EXPECT_EQ(stage, WriteStage::kPlaylists);
}

// The real databases of other writers (zlib reads plain files as they are).
std::string ReadSample(const std::filesystem::path& p) {
  std::string out;
  gzFile f = gzopen(p.c_str(), "rb");
  char buf[65536];
  for (int n; f && (n = gzread(f, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  if (f) gzclose(f);
  return out;
}

TEST(WriterTest, SamplesOfOtherWritersLoadAndComeBackUnchanged) {
  const std::filesystem::path dir = std::filesystem::path(CADENZA_SHARED_DIR) / "samples";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no sample databases";
  struct Sample { const char* path; int tracks, playlists, other_sections; };
  for (const Sample& s : {Sample{"libgpod-python-tests/iTunesDB", 0, 2, 0},
                          Sample{"gnupod-testcases/iTunes4.5.iTunesDB", 1, 1, 0},
                          Sample{"gnupod-testcases/gnupod09rc0_normal.iTunesDB.gz", 1181, 8, 0},
                          Sample{"spiff/iTunesDB", 5375, 1, 0},
                          Sample{"artm-ipod_db/iTunesDB", 23, 2, 3},
                          Sample{"ipod-shuffle-4-manager/iTunesDB", 0, 1, 0}}) {
    const std::string file = ReadSample(dir / s.path);
    ASSERT_FALSE(file.empty()) << s.path;
    Database db = Load(file);
    EXPECT_EQ(db.m_MHSD_T.m_mhlt.iNumberOfllTracks, s.tracks) << s.path;
    EXPECT_EQ(static_cast<int>(db.m_MHSD_T.m_mhlt.m_mhit.size()), s.tracks) << s.path;
    EXPECT_EQ(db.m_MHSD_PlayLists.m_mhlp.iNumberOfPlaylists, s.playlists) << s.path;
    EXPECT_EQ(static_cast<int>(db.m_aOtherSections.size()), s.other_sections) << s.path;
    const std::string out = Write(db);
    EXPECT_EQ(out.size(), file.size()) << s.path;
    EXPECT_EQ(Sections(out), Sections(file)) << s.path;
    EXPECT_EQ(out.substr(0, At(file, 4)), file.substr(0, At(file, 4))) << s.path;
  }
}

}  // namespace
}  // namespace cadenza
