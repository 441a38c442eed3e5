// The library menus against libgpod: a libgpod database is changed (two
// tracks deleted, one added), its menus regenerated and written; libgpod
// then parses that file and writes its own menus for the same tracks, and
// both must list the same tracks in the same orders.
#include <algorithm>
#include <map>

#include "db/library_index.h"
#include "db/loader.h"
#include "db/writer.h"
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

void Remove(Database& db, size_t index) {
  MHIT& t = db.m_MHSD_T.m_mhlt.m_mhit[index];
  for (MHSD_P* sec : {&db.m_MHSD_PlayLists, &db.m_MHSD_Podcasts}) {
    for (MHYP& p : sec->m_mhlp.m_mhyp) {
      for (MHIP& it : p.m_mhip) {
        if (it.iTrackID != t.iUniqueID) continue;
        it.iTrackID = -1;
        ++p.iMHYPs2Delete;
        p.iTotlaSize -= it.iTotalSize;
        sec->iTotalSize -= it.iTotalSize;
      }
    }
  }
  t.iUniqueID = -1;
  ++db.m_iDeletedTracks;
  db.m_MHSD_T.iTotalSize -= t.iTotalSize;
}

// A copy of the first track under new texts, in the master playlists too.
void AddTrack(Database& db) {
  MHIT t = db.m_MHSD_T.m_mhlt.m_mhit.front();
  const int32_t old_id = t.iUniqueID;
  t.iUniqueID = 900;
  t.iDB_ID = 0x1234567890ABCDEFULL;
  t.iTotalSize = t.iHeaderSize;
  const std::map<int32_t, std::u16string> texts = {
      {1, u"Zebra Crossing"}, {3, u"Odessey And Oracle"}, {4, u"The Zombies"}};
  for (MHOD_S& o : t.m_mhod) {
    if (auto it = texts.find(o.iType); it != texts.end()) {
      o.sString = Utf16Text(it->second);
      o.iLength = static_cast<int32_t>(2 * it->second.size());
      o.iTotalSize = 40 + o.iLength;
    }
    t.iTotalSize += o.iTotalSize;
  }
  db.m_MHSD_T.iTotalSize += t.iTotalSize;
  db.m_MHSD_T.m_mhlt.m_mhit.push_back(t);
  ++db.m_MHSD_T.m_mhlt.iNumberOfllTracks;
  for (MHSD_P* sec : {&db.m_MHSD_PlayLists, &db.m_MHSD_Podcasts}) {
    MHYP& p = sec->m_mhlp.m_mhyp.front();
    for (size_t k = 0; k < p.m_mhip.size(); ++k) {
      if (p.m_mhip[k].iTrackID != old_id) continue;
      p.m_mhip.push_back(p.m_mhip[k]);
      p.m_mhod_poe.push_back(p.m_mhod_poe[k]);
      p.m_mhip.back().iTrackID = 900;
      ++p.iPlaylistItemsCount;
      p.iTotlaSize += p.m_mhip[k].iTotalSize;
      sec->iTotalSize += p.m_mhip[k].iTotalSize;
      break;
    }
  }
}

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
  Database db = Load(ours);
  ASSERT_TRUE(HasLibraryIndexes(db));
  Remove(db, 2);
  Remove(db, 7);
  AddTrack(db);
  ASSERT_TRUE(RegenerateLibraryIndexes(db, false).ok());
  std::string image;
  WriteStage stage;
  ASSERT_TRUE(BuildDatabaseImage(db, &image, &stage).ok());
  WriteBytes(Db(ours), image);
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
