// The library menus against libgpod: a libgpod database is changed with the
// tool (two tracks deleted, one imported), which makes its menus again as it
// writes; libgpod
// then parses that file and writes its own menus for the same tracks, and
// both must list the same tracks in the same orders.
#include <algorithm>
#include <map>

#include "db/library_index.h"
#include "db/loader.h"
#include "tests/e2e/e2e_util.h"

namespace cadenza::e2e {
namespace {

class MenusTest : public E2ETest {
 protected:
  static Database Load(const stdfs::path& device) {
    Database db;
    EXPECT_TRUE(LoadDatabase(Bytes(ReadBytes(Db(device))), db).ok());
    return db;
  }
  // The track's persistent id (libgpod renumbers the track ids on a write).
  static std::vector<uint64_t> Persistent(const Database& db) {
    std::vector<uint64_t> ids;
    for (const MHIT& t : db.m_MHSD_T.m_mhlt.m_mhit) ids.push_back(t.iDB_ID);
    return ids;
  }
};

// The album and artist lists as sorted names (libgpod's ids and order
// follow a hash table).
std::vector<std::vector<std::u16string>> Names(const std::vector<LibraryMenus::Item>& items) {
  std::vector<std::vector<std::u16string>> names;
  names.reserve(items.size());
  for (const LibraryMenus::Item& i : items) names.push_back(i.texts);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(MenusTest, RegeneratedMenusMatchLibgpodAfterDeleteAndAdd) {
  const stdfs::path ours = base_ / "ours", theirs = base_ / "theirs";
  ASSERT_EQ(Shell(std::string(GPOD_ORACLE_PATH) + " make " + Quote(ours.string()) +
                  " --tracks 12 --model xA147").status, 0);
  const Database made = Load(ours);
  ASSERT_TRUE(HasLibraryIndexes(made));
  // Two tracks deleted and one imported with the tool.
  const std::string cli = Quote(CADENZA_CLI_PATH) + " --device " + Quote(ours.string()) + " ";
  const auto& gone = made.m_MHSD_T.m_mhlt.m_mhit;
  ASSERT_EQ(Shell(cli + "rm " + std::to_string(gone[2].iUniqueID) + " " +
                  std::to_string(gone[7].iUniqueID)).status, 0);
  ASSERT_EQ(Shell(cli + "add " + Quote(kMedia + "tagged_v24.mp3")).status, 0);
  stdfs::copy(ours, theirs, stdfs::copy_options::recursive);
  ASSERT_EQ(Shell(std::string(GPOD_ORACLE_PATH) + " rewrite " + Quote(theirs.string())).status, 0);

  const Database a = Load(ours), b = Load(theirs);
  ASSERT_EQ(a.m_MHSD_T.m_mhlt.m_mhit.size(), 17U);
  const LibraryMenus ma = ReadLibraryMenus(a), mb = ReadLibraryMenus(b);
  ASSERT_EQ(ma.indexes.size(), 5U);
  ASSERT_EQ(mb.indexes.size(), 5U);
  const std::vector<uint64_t> pa = Persistent(a), pb = Persistent(b);
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(ma.indexes[i].sort_type);
    EXPECT_EQ(ma.indexes[i].sort_type, mb.indexes[i].sort_type);
    std::vector<uint64_t> oa, ob;
    for (uint32_t p : ma.indexes[i].order) oa.push_back(pa.at(p));
    for (uint32_t p : mb.indexes[i].order) ob.push_back(pb.at(p));
    EXPECT_EQ(oa, ob);
    EXPECT_EQ(ma.indexes[i].jumps, mb.indexes[i].jumps);
  }
  EXPECT_EQ(Names(ma.albums), Names(mb.albums));
  EXPECT_EQ(Names(ma.artists), Names(mb.artists));
  // Each track links to the album and artist of the same names.
  auto link = [](const Database& d, const LibraryMenus& m, size_t t) {
    const MHIT& k = d.m_MHSD_T.m_mhlt.m_mhit[t];
    std::vector<std::u16string> names;
    for (const LibraryMenus::Item& i : m.albums)
      if (i.id == k.iUnk21) names = i.texts;
    const int32_t artist = static_cast<int32_t>(U32(k.sAllData.view(), 0x1E0));
    for (const LibraryMenus::Item& i : m.artists)
      if (i.id == artist) names.insert(names.end(), i.texts.begin(), i.texts.end());
    return names;
  };
  for (size_t t = 0; t < pa.size(); ++t) {
    const size_t u = static_cast<size_t>(std::find(pb.begin(), pb.end(), pa[t]) - pb.begin());
    ASSERT_LT(u, pb.size());
    EXPECT_EQ(link(a, ma, t), link(b, mb, u)) << "track " << t;
  }
}

}  // namespace
}  // namespace cadenza::e2e
