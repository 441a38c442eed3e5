#include "db/writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

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

std::string Write(Database& db) {
  std::string out;
  WriteStage stage;
  Status st = BuildDatabaseImage(db, &out, &stage);
  EXPECT_TRUE(st.ok()) << st.message();
  return out;
}

// Sections of a file by type, in file order.
std::multimap<uint32_t, std::string> Sections(const std::string& file) {
  std::multimap<uint32_t, std::string> out;
  uint32_t pos = LoadLE32(file.data() + 4);
  while (pos + 16 <= file.size() && file.compare(pos, 4, "mhsd") == 0) {
    uint32_t total = LoadLE32(file.data() + pos + 8);
    out.emplace(LoadLE32(file.data() + pos + 12), file.substr(pos, total));
    pos += total;
  }
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
  Database db = Load(file);
  EXPECT_EQ(Write(db), file);
  EXPECT_EQ(db.m_iPos, static_cast<int32_t>(file.size()));
}

TEST(WriterTest, SectionsComeOutInTheirFixedOrderEachUnchanged) {
  const std::string file = File({RawSection(9, "nine"), PlaylistSection(2, {Playlist(u"P", {}, true)}),
                                     RawSection(5, "five"), TrackSection({Track(3, {})}),
                                     PlaylistSection(3, {Playlist(u"Q", {}, true)})});
  Database db = Load(file);
  std::string out = Write(db);
  EXPECT_EQ(out.size(), file.size());
  EXPECT_EQ(Sections(out), Sections(file));
  std::vector<uint32_t> order;
  for (uint32_t pos = 0xF4; pos < out.size(); pos += LoadLE32(out.data() + pos + 8))
    order.push_back(LoadLE32(out.data() + pos + 12));
  EXPECT_EQ(order, (std::vector<uint32_t>{1, 3, 2, 5, 9}));
}

TEST(WriterTest, MarkedTracksAndItemsAreLeftOutAndCountsLowered) {
  Database db = Load(RichDatabase());
  auto& list = db.m_MHSD_T.m_mhlt;
  list.m_mhit[0].iUniqueID = -1;
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
  EXPECT_EQ(LoadLE32(out.data() + 8), out.size());
}

TEST(WriterTest, NewChunksAreBuiltFromTheirFields) {
  Database db = Load(File({TrackSection({})}));
  MHIT t;
  t.sID = "mhit";
  t.iHeaderSize = 328;
  t.sFiletype = "MP3 ";
  t.iUniqueID = 5;
  MHOD_S o;
  o.sID = "mhod";
  o.iHeaderSize = 24;
  o.iType = 1;
  o.iLength = 4;
  o.iTotalSize = 44;
  o.sString = u"AB";
  t.m_mhod.push_back(o);
  t.iNumberOfMHODS = 1;
  t.iTotalSize = 328 + 44;
  db.m_MHSD_T.m_mhlt.m_mhit.push_back(t);
  db.m_MHSD_T.m_mhlt.iNumberOfllTracks = 1;
  std::string out = Write(db);
  const size_t at = 0xF4 + 96 + 92;
  EXPECT_EQ(out.substr(at + 24, 4), " 3PM");
  EXPECT_EQ(out.substr(at + 304, 24), std::string(24, '\0'));  // new header: zeros
  EXPECT_EQ(out.substr(at + 328 + 40, 4), std::string("A\0B\0", 4));
}

TEST(WriterTest, RecordsThatDoNotMatchTheirCountsFailTheWrite) {
  Database db = Load(RichDatabase());
  db.m_MHSD_T.m_mhlt.iNumberOfllTracks = 3;
  std::string out;
  WriteStage stage;
  Status st = BuildDatabaseImage(db, &out, &stage);
  EXPECT_EQ(st.number(), 9);
  EXPECT_EQ(stage, WriteStage::kTrackList);

  Database db2 = Load(RichDatabase());
  db2.m_MHSD_PlayLists.m_mhlp.m_mhyp[1].iChildsCount = 4;
  st = BuildDatabaseImage(db2, &out, &stage);
  EXPECT_EQ(stage, WriteStage::kPlaylists);
}

TEST(WriterTest, SamplesOfOtherWritersRoundTrip) {
  std::filesystem::path dir = std::filesystem::path(CADENZA_SHARED_DIR) / "samples";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no sample databases";
  for (const char* rel : {"libgpod-python-tests/iTunesDB", "gnupod-testcases/iTunes4.5.iTunesDB",
                          "spiff/iTunesDB", "artm-ipod_db/iTunesDB", "ipod-shuffle-4-manager/iTunesDB"}) {
    std::ifstream in(dir / rel, std::ios::binary);
    std::string file(std::istreambuf_iterator<char>(in), {});
    Database db = Load(file);
    std::string out = Write(db);
    EXPECT_EQ(out.size(), file.size()) << rel;
    EXPECT_EQ(Sections(out), Sections(file)) << rel;
    EXPECT_EQ(out.substr(0, LoadLE32(file.data() + 4)), file.substr(0, LoadLE32(file.data() + 4)));
  }
}

}  // namespace
}  // namespace cadenza
