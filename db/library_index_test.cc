#include "db/library_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "db/codec.h"
#include "db/loader.h"
#include "db/writer.h"
#include "testing/temp_dir.h"

namespace cadenza {
namespace {

const std::filesystem::path kSamples = std::filesystem::path(CADENZA_SHARED_DIR) / "samples";

Database LoadSample(const std::string& name) {
  Database db;
  EXPECT_TRUE(LoadDatabase(Bytes(ReadBytes(kSamples / name / "iTunesDB")), db).ok());
  return db;
}

std::string Image(const Database& db) {
  std::string image;
  WriteStage stage;
  EXPECT_TRUE(BuildDatabaseImage(db, &image, &stage).ok());
  return image;
}

std::vector<std::vector<std::u16string>> Names(const std::vector<LibraryMenus::Item>& items) {
  std::vector<std::vector<std::u16string>> names;
  names.reserve(items.size());
  for (const LibraryMenus::Item& i : items) names.push_back(i.texts);
  std::sort(names.begin(), names.end());
  return names;
}

class LibraryIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kSamples / "artm-ipod_db")) GTEST_SKIP() << "no samples";
    db_ = LoadSample("artm-ipod_db");
  }
  Database db_;
};

// The sample was written by libgpod (in a locale that sorts without regard
// to case): regenerating from the same tracks gives the same menus. The
// album and artist items come in id order (libgpod's in hash-table order,
// with other ids), and their persistent ids differ, so the bytes differ.
TEST_F(LibraryIndexTest, UnchangedTracksReproduceTheLoadedMenus) {
  const LibraryMenus before = ReadLibraryMenus(db_);
  ASSERT_EQ(before.indexes.size(), 5U);
  const std::string image = Image(db_);
  ASSERT_TRUE(HasLibraryIndexes(db_));
  ASSERT_TRUE(RegenerateLibraryIndexes(db_, false).ok());
  const LibraryMenus after = ReadLibraryMenus(db_);
  ASSERT_EQ(after.indexes.size(), 5U);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(after.indexes[i].sort_type, before.indexes[i].sort_type);
    EXPECT_EQ(after.indexes[i].order, before.indexes[i].order) << i;
    EXPECT_EQ(after.indexes[i].jumps, before.indexes[i].jumps) << i;
  }
  EXPECT_EQ(Names(after.albums), Names(before.albums));
  EXPECT_EQ(Names(after.artists), Names(before.artists));
  // Same sizes, and everything up to the album list is the same bytes.
  const std::string again = Image(db_);
  ASSERT_EQ(again.size(), image.size());
  const size_t albums_at = image.find("mhla") - 96;
  EXPECT_EQ(again.substr(0, albums_at), image.substr(0, albums_at));
  // The title index object, byte by byte: header, sort type, count, zeros.
  const size_t at = again.find(std::string("mhod\x18\0\0\0\xa4\0\0\0\x34\0\0\0", 16));
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(LoadLE32(again.data() + at + 24), 3U);
  EXPECT_EQ(LoadLE32(again.data() + at + 28), 23U);
  EXPECT_EQ(again.substr(at + 32, 40), std::string(40, '\0'));
  EXPECT_EQ(LoadLE32(again.data() + at + 72), 11U);  // "07 February, ..." sorts first
}

TEST_F(LibraryIndexTest, DeletedTrackLeavesEveryIndexAndList) {
  // Track 0 is the only one of artist "Scott Sigler" and album "Scott Sigler Audiobooks".
  MHIT& gone = db_.m_MHSD_T.m_mhlt.m_mhit[0];
  gone.iUniqueID = -1;
  ++db_.m_iDeletedTracks;
  db_.m_MHSD_T.iTotalSize -= gone.iTotalSize;
  ASSERT_TRUE(RegenerateLibraryIndexes(db_, false).ok());
  Database back;
  ASSERT_TRUE(LoadDatabase(Bytes(Image(db_)), back).ok());
  const LibraryMenus m = ReadLibraryMenus(back);
  ASSERT_EQ(m.indexes.size(), 5U);
  for (const LibraryMenus::SortIndex& ix : m.indexes) {
    std::vector<uint32_t> order = ix.order;
    std::sort(order.begin(), order.end());
    for (uint32_t i = 0; i < 22; ++i) EXPECT_EQ(order.at(i), i);
    EXPECT_EQ(order.size(), 22U);
    uint32_t sum = 0;
    for (const auto& j : ix.jumps) EXPECT_EQ(j[1], std::exchange(sum, sum + j[2]));
    EXPECT_EQ(sum, 22U);
  }
  EXPECT_EQ(m.albums.size(), 17U);
  EXPECT_EQ(m.artists.size(), 10U);
  for (const LibraryMenus::Item& i : m.artists) EXPECT_NE(i.texts.at(0), u"Scott Sigler");
  // The first live track ("The Future And You", album 2 of 17) links to its album.
  const MHIT& first = back.m_MHSD_T.m_mhlt.m_mhit[0];
  EXPECT_EQ(m.albums.at(static_cast<size_t>(first.iUnk21 - 1)).texts.at(0), u"www.TheFutureAndYou.com");
  EXPECT_EQ(LoadLE32(first.sAllData.data() + 0x1E0), 1U);
}

TEST(LibraryIndexCreate, KeepsOrMakesTheMenus) {
  if (!std::filesystem::exists(kSamples / "libgpod-python-tests")) GTEST_SKIP() << "no samples";
  Database db = LoadSample("libgpod-python-tests");
  ASSERT_FALSE(HasLibraryIndexes(db));
  const std::string image = Image(db);
  ASSERT_TRUE(RegenerateLibraryIndexes(db, false).ok());
  EXPECT_EQ(Image(db), image);

  ASSERT_TRUE(RegenerateLibraryIndexes(db, true).ok());
  EXPECT_TRUE(HasLibraryIndexes(db));
  const std::string made = Image(db);
  EXPECT_EQ(LoadLE32(made.data() + 20), 5U);  // sections 1, 3, 2, 4 and 8
  Database back;
  ASSERT_TRUE(LoadDatabase(Bytes(made), back).ok());
  const LibraryMenus m = ReadLibraryMenus(back);
  ASSERT_EQ(m.indexes.size(), 5U);
  const int32_t types[] = {3, 5, 4, 7, 0x12};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(m.indexes[i].sort_type, types[i]);
    EXPECT_TRUE(m.indexes[i].order.empty());
  }
  ASSERT_EQ(back.m_aOtherSections.size(), 1U);
  EXPECT_EQ(back.m_aOtherSections[0].sAllData.view().substr(96, 4), "mhli");
  EXPECT_EQ(back.m_MHSD_A.sAllData.view().substr(96, 4), "mhla");
  // A second pass over what was written changes nothing.
  ASSERT_TRUE(RegenerateLibraryIndexes(back, true).ok());
  EXPECT_EQ(Image(back), made);
}

}  // namespace
}  // namespace cadenza
