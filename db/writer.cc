#include "db/writer.h"

#include <limits>

namespace cadenza {

namespace {

Status SubscriptOutOfRange() { return Status::Invalid("Subscript out of range", 9); }
Status Overflow() { return Status::Invalid("Overflow", 6); }

// Moves db.m_iPos to `pos`, which must stay a 32-bit position.
Status SetPos(Database& db, int64_t pos) {
  if (pos < 0 || pos > std::numeric_limits<int32_t>::max()) return Overflow();
  db.m_iPos = static_cast<int32_t>(pos);
  return Status::OK();
}

// A header as loaded (for chunks that were loaded), written before the
// fields so that header bytes no field covers are kept.
void PutLoadedHeader(ByteWriter& w, int64_t at, const Bytes& image, int32_t header_size) {
  if (!image.empty() && header_size > 0)
    w.Put(at, image.prefix(static_cast<size_t>(header_size)).view());
}

// Writes a section header and its list header (loaded image first, then
// the fields); returns the position behind the list header.
template <typename Section>
int64_t WriteSectionHeaders(const Section& sec, int64_t s, std::string_view list_id,
                            int32_t list_header_size, const Bytes& list_image, int32_t count,
                            ByteWriter& w) {
  PutLoadedHeader(w, s, sec.sHeaderData, sec.iHeaderSize);
  w.PutStr(s, sec.sID);
  w.PutLong(s + 4, sec.iHeaderSize);
  w.PutLong(s + 8, sec.iTotalSize);
  w.PutLong(s + 12, sec.iType);
  const int64_t l = s + sec.iHeaderSize;
  PutLoadedHeader(w, l, list_image, list_header_size);
  w.PutStr(l, list_id);
  w.PutLong(l + 4, list_header_size);
  w.PutLong(l + 8, count);
  return l + list_header_size;
}

// Writes a track's data object or a playlist's title object at db.m_iPos.
Status WriteStringObject(Database& db, const MHOD_S& o, ByteWriter& w) {
  const int64_t m = db.m_iPos;
  if (!o.sAllMHOD.empty()) {
    w.Put(m, o.sAllMHOD.view());
  } else {
    w.PutStr(m, o.sID);
    w.PutLong(m + 4, o.iHeaderSize);
    w.PutLong(m + 8, o.iTotalSize);
    w.PutLong(m + 12, o.iType);
    w.PutLong(m + 16, o.iUnk1);
    w.PutLong(m + 20, o.iUnk2);
    w.PutLong(m + 24, o.iPosition);
    w.PutLong(m + 28, o.iLength);
    w.PutLong(m + 32, o.iUnk3);
    w.PutLong(m + 36, o.iUnk4);
    w.Put(m + 40, o.sString.bytes().view());
  }
  return SetPos(db, m + o.iTotalSize);
}

void WriteOrderEntryFields(const MHOD_POE& e, int64_t o, ByteWriter& w) {
  w.PutStr(o, e.sID);
  w.PutLong(o + 4, e.iHeaderSize);
  w.PutLong(o + 8, e.iTotalSize);
  w.PutLong(o + 12, e.iType);
  w.PutLong(o + 16, e.iUnk1);
  w.PutLong(o + 20, e.iUnk2);
  w.PutLong(o + 24, e.iPosition);
  w.PutStr(o + 28, e.sUnk3);
}

void WriteTrackFields(const MHIT& k, int64_t t, ByteWriter& w) {
  w.PutStr(t + 0, k.sID);
  w.PutLong(t + 4, k.iHeaderSize);
  w.PutLong(t + 8, k.iTotalSize);
  w.PutLong(t + 12, k.iNumberOfMHODS);
  w.PutLong(t + 16, k.iUniqueID);
  w.PutLong(t + 20, k.iVisible);
  const std::string_view type = k.sFiletype.view();
  w.PutStr(t + 24, std::string(type.rbegin(), type.rend()));
  w.PutByte(t + 28, k.iType1);
  w.PutByte(t + 29, k.iType2);
  w.PutByte(t + 30, k.iFlag1);
  w.PutByte(t + 31, k.iStartRating);
  w.PutStr(t + 32, k.sLastModifiedTime);
  w.PutLong(t + 36, k.iTrackSize);
  w.PutLong(t + 40, k.iTrackTimeLength);
  w.PutLong(t + 44, k.iTrackNumber);
  w.PutLong(t + 48, k.iTotalTracksNumber);
  w.PutStr(t + 52, k.sTrackYear);
  w.PutLong(t + 56, k.iBitrate);
  w.PutLong(t + 60, k.iSampleRate);
  w.PutLong(t + 64, k.iVolume);
  w.PutLong(t + 68, k.iStartTime);
  w.PutLong(t + 72, k.iStopTime);
  w.PutLong(t + 76, k.iSoundCheck);
  w.PutLong(t + 80, k.iPlayCount);
  w.PutLong(t + 84, k.iPlayCount2);
  w.PutStr(t + 88, k.sLastPlayedTime);
  w.PutLong(t + 92, k.iDiscNumber);
  w.PutLong(t + 96, k.iTotalDisks);
  w.PutLong(t + 100, k.iUserID);
  w.PutStr(t + 104, k.sDateAdded);
  w.PutLong(t + 108, k.iBookmarkTime);
  w.PutCurrency(t + 112, k.iDB_ID);
  w.PutByte(t + 120, k.iCheck);
  w.PutByte(t + 121, k.iApplicationRating);
  w.PutInteger(t + 122, k.iBPM);
  w.PutInteger(t + 124, k.iArtworkCount);
  w.PutInteger(t + 126, k.iUnk1);
  w.PutLong(t + 128, k.iArtworkSize);
  w.PutLong(t + 132, k.iUnk2);
  w.PutLong(t + 136, k.iSampleRate2);
  w.PutStr(t + 140, k.sDateReleased);
  w.PutInteger(t + 144, k.iUnk3);
  w.PutInteger(t + 146, k.iExplicitFlasg);
  w.PutLong(t + 148, k.iUnk4);
  w.PutLong(t + 152, k.iUnk5);
  w.PutLong(t + 156, k.iSkipCount);
  w.PutStr(t + 160, k.sLastSkipped);
  w.PutByte(t + 164, k.iHasArtwork);
  w.PutByte(t + 165, k.iSkipWhenShuffle);
  w.PutByte(t + 166, k.iRememPlaybackPos);
  w.PutByte(t + 167, k.iFlag2);
  w.PutCurrency(t + 168, k.iDB_ID2);
  w.PutByte(t + 176, k.iLyricsFlag);
  w.PutByte(t + 177, k.iMovieFileFlag);
  w.PutByte(t + 178, k.iPlayedMark);
  w.PutByte(t + 179, k.iUnk6);
  w.PutLong(t + 180, k.iUnk7);
  w.PutLong(t + 184, k.iPreGap);
  w.PutCurrency(t + 188, k.iSampleCount);
  w.PutLong(t + 196, k.iUnk8);
  w.PutLong(t + 200, k.iPostGap);
  w.PutLong(t + 204, k.iUnk9);
  w.PutLong(t + 208, k.iMediaType);
  w.PutLong(t + 212, k.iSeasonNumber);
  w.PutLong(t + 216, k.iEpisodeNumber);
  w.PutLong(t + 220, k.iUnk10);
  w.PutLong(t + 224, k.iUnk11);
  w.PutLong(t + 228, k.iUnk12);
  w.PutLong(t + 232, k.iUnk13);
  w.PutLong(t + 236, k.iUnk14);
  w.PutLong(t + 240, k.iUnk15);
  w.PutLong(t + 244, k.iUnk16);
  w.PutLong(t + 248, k.iGaplessData);
  w.PutLong(t + 252, k.iUnk17);
  w.PutInteger(t + 256, k.iGaplessTrackFlag);
  w.PutInteger(t + 258, k.iGaplessAlbumFlag);
  w.PutStr(t + 260, k.sUnk18);
  w.PutLong(t + 280, k.iUnk19);
  w.PutLong(t + 284, k.iUnk20);
  w.PutLong(t + 288, k.iUnk21);
  w.PutLong(t + 292, k.iUnk22);
  w.PutInteger(t + 296, k.iUnk23);
  w.PutInteger(t + 298, k.iAlbumID);
  w.PutLong(t + 300, k.iMHIILink);
}

}  // namespace

Status WriteTrackList(Database& db, ByteWriter& w) {
  const MHSD_T& sec = db.m_MHSD_T;
  const MHLT& list = sec.m_mhlt;
  int64_t first = WriteSectionHeaders(sec, db.m_iPos, list.sID, list.iHeaderSize, list.sAllHeader,
                                      list.iNumberOfllTracks - db.m_iDeletedTracks, w);
  if (Status st = SetPos(db, first); !st.ok()) return st;

  for (int32_t i = 0; i < list.iNumberOfllTracks; ++i) {
    if (static_cast<size_t>(i) >= list.m_mhit.size()) return SubscriptOutOfRange();
    const MHIT& k = list.m_mhit[static_cast<size_t>(i)];
    if (k.iUniqueID == -1) continue;
    const int64_t t = db.m_iPos;
    PutLoadedHeader(w, t, k.sAllData, k.iHeaderSize);
    WriteTrackFields(k, t, w);
    if (Status st = SetPos(db, t + k.iHeaderSize); !st.ok()) return st;
    for (int32_t j = 0; j < k.iNumberOfMHODS; ++j) {
      if (static_cast<size_t>(j) >= k.m_mhod.size()) return SubscriptOutOfRange();
      if (Status st = WriteStringObject(db, k.m_mhod[static_cast<size_t>(j)], w); !st.ok())
        return st;
    }
  }
  return Status::OK();
}

Status WritePlaylistSection(Database& db, const MHSD_P& sec, ByteWriter& w) {
  const MHLP& list = sec.m_mhlp;
  int64_t first = WriteSectionHeaders(sec, db.m_iPos, list.sID, list.iHeaderSize,
                                      list.sHeaderData, list.iNumberOfPlaylists, w);
  if (Status st = SetPos(db, first); !st.ok()) return st;

  for (int32_t i = 0; i < list.iNumberOfPlaylists; ++i) {
    if (static_cast<size_t>(i) >= list.m_mhyp.size()) return SubscriptOutOfRange();
    const MHYP& p = list.m_mhyp[static_cast<size_t>(i)];
    const int64_t y = db.m_iPos;
    PutLoadedHeader(w, y, p.sAllData, p.iHeaderSize);
    w.PutStr(y, p.sID);
    w.PutLong(y + 4, p.iHeaderSize);
    w.PutLong(y + 8, p.iTotlaSize);
    w.PutLong(y + 12, p.iChildsCount);
    w.PutLong(y + 16, p.iPlaylistItemsCount - p.iMHYPs2Delete);
    w.PutByte(y + 20, p.iIsMasterFLag);
    w.PutStr(y + 21, p.sUnk1);
    w.PutStr(y + 24, p.sTimeStamp);
    w.PutStr(y + 28, p.sPerPlayListID);
    w.PutLong(y + 36, p.iUnk2);
    w.PutInteger(y + 40, p.iMHODCount);
    w.PutInteger(y + 42, p.iPodCastFlag);
    w.PutLong(y + 44, p.iListSortOrder);
    if (Status st = SetPos(db, y + p.iHeaderSize); !st.ok()) return st;

    for (int32_t j = 0; j < p.iChildsCount; ++j) {
      if (j == 0) {
        if (Status st = WriteStringObject(db, p.m_mhod_s, w); !st.ok()) return st;
        continue;
      }
      if (static_cast<size_t>(j - 1) >= p.m_mhod_pcd.size()) return SubscriptOutOfRange();
      const MHOD_PCD& o = p.m_mhod_pcd[static_cast<size_t>(j - 1)];
      const int64_t m = db.m_iPos;
      w.Put(m, o.sAllMHOD.view());
      if (Status st = SetPos(db, m + o.iTotalSize); !st.ok()) return st;
    }

    for (int32_t k = 0; k < p.iPlaylistItemsCount; ++k) {
      if (static_cast<size_t>(k) >= p.m_mhip.size() ||
          static_cast<size_t>(k) >= p.m_mhod_poe.size())
        return SubscriptOutOfRange();
      const MHIP& it = p.m_mhip[static_cast<size_t>(k)];
      if (it.iTrackID == -1) continue;
      const int64_t at = db.m_iPos;
      PutLoadedHeader(w, at, it.sHeaderData, it.iHeaderSize);
      w.PutStr(at, it.sID);
      w.PutLong(at + 4, it.iHeaderSize);
      w.PutLong(at + 8, it.iTotalSize);
      w.PutLong(at + 12, it.iChildCount);
      w.PutInteger(at + 16, it.iPodCastGroupFlag);
      w.PutByte(at + 18, it.iUnk1);
      w.PutByte(at + 19, it.iUnk2);
      w.PutLong(at + 20, it.iGroupID);
      w.PutLong(at + 24, it.iTrackID);
      w.PutStr(at + 28, it.sTimeStamp);
      w.PutStr(at + 32, it.sPodCastGroupRefrence);
      if (Status st = SetPos(db, at + it.iHeaderSize); !st.ok()) return st;

      const MHOD_POE& e = p.m_mhod_poe[static_cast<size_t>(k)];
      const int64_t o = db.m_iPos;
      if (!e.sAllMHOD.empty()) {
        // The item's objects as loaded (an order entry, a group title, or
        // several); the order-entry fields are laid over a loaded entry.
        w.Put(o, e.sAllMHOD.view());
        if (e.sAllMHOD.size() >= 44 && e.iType == 100) WriteOrderEntryFields(e, o, w);
        if (Status st = SetPos(db, o + static_cast<int64_t>(e.sAllMHOD.size())); !st.ok())
          return st;
      } else if (!e.sID.empty()) {
        WriteOrderEntryFields(e, o, w);
        if (Status st = SetPos(db, o + e.iTotalSize); !st.ok()) return st;
      }
    }
  }
  return Status::OK();
}

Status BuildDatabaseImage(Database& db, std::string* image, WriteStage* stage) {
  *stage = WriteStage::kNone;
  ByteWriter w;
  w.reserve(db.m_MHBD.sAllData.size() + (1 << 16));
  db.m_iPos = 0;
  w.Put(0, db.m_MHBD.sHeaderData.view());
  Status st = SetPos(db, db.m_MHBD.iHeaderSize);
  if (!st.ok()) {
    *stage = WriteStage::kHeader;
    return st;
  }
  if (!db.m_MHSD_T.sID.empty()) {
    if (st = WriteTrackList(db, w); !st.ok()) {
      *stage = WriteStage::kTrackList;
      return st;
    }
  }
  for (const MHSD_P* sec : {&db.m_MHSD_Podcasts, &db.m_MHSD_PlayLists}) {
    if (sec->sID.empty()) continue;
    if (st = WritePlaylistSection(db, *sec, w); !st.ok()) {
      *stage = WriteStage::kPlaylists;
      return st;
    }
  }
  auto put_image = [&](const Bytes& data, int64_t total) {
    int64_t at = db.m_iPos;
    w.Put(at, data.view());
    return SetPos(db, at + total);
  };
  std::vector<const MHSD_A*> raw = {&db.m_MHSD_A, &db.m_MHSD_NP};
  for (const MHSD_A& o : db.m_aOtherSections) raw.push_back(&o);
  for (const MHSD_A* sec : raw) {
    if (sec->sAllData.empty()) continue;
    if (st = put_image(sec->sAllData, sec->iTotalSize); !st.ok()) {
      *stage = WriteStage::kHeader;
      return st;
    }
  }
  if (!db.m_sTrailingData.empty()) {
    if (st = put_image(db.m_sTrailingData, static_cast<int64_t>(db.m_sTrailingData.size()));
        !st.ok()) {
      *stage = WriteStage::kHeader;
      return st;
    }
  }
  // The real length of the file goes into the header's total-size field.
  w.PutLong(8, static_cast<int32_t>(w.size()));
  *image = std::move(w.str());
  return Status::OK();
}

}  // namespace cadenza
