#include "db/writer.h"

#include <limits>
#include <vector>

#include "db/codec.h"
#include "db/layout.h"

namespace cadenza {

namespace {

Status SubscriptOutOfRange() { return Status::Invalid("Subscript out of range", 9); }

constexpr int32_t kFileSizeAt = OffsetOf(kMHBDFields, &MHBD::iTotalSize);
constexpr int32_t kTrackCountAt = OffsetOf(kMHLTFields, &MHLT::iNumberOfllTracks);
constexpr int32_t kItemCountAt = OffsetOf(kMHYPFields, &MHYP::iPlaylistItemsCount);
constexpr int32_t kTextAt = FixedSize(kMHODSFields);
constexpr size_t kOrderEntrySize = static_cast<size_t>(FixedSize(kMHODPOEFields));

// The image being built and the position where its next chunk starts.
struct Image {
  ByteWriter w;
  int64_t pos = 0;

  // Moves the position to `to`, which must stay a 32-bit position.
  Status MoveTo(int64_t to) {
    if (to < 0 || to > std::numeric_limits<int32_t>::max()) return Status::Invalid("Overflow", 6);
    pos = to;
    return Status::OK();
  }
};

// A header as loaded (for chunks that were loaded), written before the
// fields so that header bytes no field covers are kept.
void PutLoadedHeader(ByteWriter& w, int64_t at, const Bytes& image, int32_t header_size) {
  if (!image.empty() && header_size > 0)
    w.Put(at, image.prefix(static_cast<size_t>(header_size)).view());
}

// Writes a section header and its list header at the position (loaded
// images first, then the fields); returns where the list header starts.
template <typename Section, typename ListFields, typename List>
int64_t WriteSectionHeaders(const Section& sec, const ListFields& list_fields, const List& list,
                            const Bytes& list_image, Image& out) {
  const int64_t s = out.pos;
  PutLoadedHeader(out.w, s, sec.sHeaderData, sec.iHeaderSize);
  WriteFields(out.w, s, kSectionFields<Section>, sec);
  const int64_t l = s + sec.iHeaderSize;
  PutLoadedHeader(out.w, l, list_image, list.iHeaderSize);
  WriteFields(out.w, l, list_fields, list);
  return l;
}

// Writes a track's data object or a playlist's title object.
Status WriteStringObject(const MHOD_S& o, Image& out) {
  const int64_t m = out.pos;
  if (!o.sAllMHOD.empty()) {
    out.w.Put(m, o.sAllMHOD.view());
  } else {
    WriteFields(out.w, m, kMHODSFields, o);
    out.w.Put(m + kTextAt, o.sString.bytes().view());
  }
  return out.MoveTo(m + o.iTotalSize);
}

Status WriteTrackSection(const Database& db, Image& out) {
  const MHLT& list = db.m_MHSD_T.m_mhlt;
  const int64_t l = WriteSectionHeaders(db.m_MHSD_T, kMHLTFields, list, list.sAllHeader, out);
  out.w.PutLong(l + kTrackCountAt, list.iNumberOfllTracks - db.m_iDeletedTracks);
  if (Status st = out.MoveTo(l + list.iHeaderSize); !st.ok()) return st;

  for (int32_t i = 0; i < list.iNumberOfllTracks; ++i) {
    if (static_cast<size_t>(i) >= list.m_mhit.size()) return SubscriptOutOfRange();
    const MHIT& k = list.m_mhit[static_cast<size_t>(i)];
    if (k.iUniqueID == -1) continue;
    const int64_t t = out.pos;
    PutLoadedHeader(out.w, t, k.sAllData, k.iHeaderSize);
    WriteFields(out.w, t, kMHITFields, k);
    if (Status st = out.MoveTo(t + k.iHeaderSize); !st.ok()) return st;
    for (int32_t j = 0; j < k.iNumberOfMHODS; ++j) {
      if (static_cast<size_t>(j) >= k.m_mhod.size()) return SubscriptOutOfRange();
      if (Status st = WriteStringObject(k.m_mhod[static_cast<size_t>(j)], out); !st.ok())
        return st;
    }
  }
  return Status::OK();
}

// Writes a playlist item (unless marked deleted) and the objects after it.
Status WriteItem(const MHIP& it, const MHOD_POE& e, Image& out) {
  if (it.iTrackID == -1) return Status::OK();
  const int64_t at = out.pos;
  PutLoadedHeader(out.w, at, it.sHeaderData, it.iHeaderSize);
  WriteFields(out.w, at, kMHIPFields, it);
  if (Status st = out.MoveTo(at + it.iHeaderSize); !st.ok()) return st;

  const int64_t o = out.pos;
  if (!e.sAllMHOD.empty()) {
    // The item's objects as loaded (an order entry, a group title, or
    // several); the order-entry fields are laid over a loaded entry.
    out.w.Put(o, e.sAllMHOD.view());
    if (e.sAllMHOD.size() >= kOrderEntrySize &&
        e.iType == static_cast<int32_t>(DataObjectType::kPlaylistEntry))
      WriteFields(out.w, o, kMHODPOEFields, e);
    return out.MoveTo(o + static_cast<int64_t>(e.sAllMHOD.size()));
  }
  if (e.sID.empty()) return Status::OK();
  WriteFields(out.w, o, kMHODPOEFields, e);
  return out.MoveTo(o + e.iTotalSize);
}

Status WritePlaylist(const MHYP& p, Image& out) {
  const int64_t y = out.pos;
  PutLoadedHeader(out.w, y, p.sAllData, p.iHeaderSize);
  WriteFields(out.w, y, kMHYPFields, p);
  out.w.PutLong(y + kItemCountAt, p.iPlaylistItemsCount - p.iMHYPs2Delete);
  if (Status st = out.MoveTo(y + p.iHeaderSize); !st.ok()) return st;

  for (int32_t j = 0; j < p.iChildsCount; ++j) {
    if (j == 0) {
      if (Status st = WriteStringObject(p.m_mhod_s, out); !st.ok()) return st;
      continue;
    }
    if (static_cast<size_t>(j - 1) >= p.m_mhod_pcd.size()) return SubscriptOutOfRange();
    const MHOD_PCD& o = p.m_mhod_pcd[static_cast<size_t>(j - 1)];
    const int64_t m = out.pos;
    out.w.Put(m, o.sAllMHOD.view());
    if (Status st = out.MoveTo(m + o.iTotalSize); !st.ok()) return st;
  }

  for (int32_t k = 0; k < p.iPlaylistItemsCount; ++k) {
    if (static_cast<size_t>(k) >= p.m_mhip.size() || static_cast<size_t>(k) >= p.m_mhod_poe.size())
      return SubscriptOutOfRange();
    if (Status st = WriteItem(p.m_mhip[static_cast<size_t>(k)],
                              p.m_mhod_poe[static_cast<size_t>(k)], out);
        !st.ok())
      return st;
  }
  return Status::OK();
}

Status WritePlaylistSection(const MHSD_P& sec, Image& out) {
  const MHLP& list = sec.m_mhlp;
  const int64_t l = WriteSectionHeaders(sec, kMHLPFields, list, list.sHeaderData, out);
  if (Status st = out.MoveTo(l + list.iHeaderSize); !st.ok()) return st;
  for (int32_t i = 0; i < list.iNumberOfPlaylists; ++i) {
    if (static_cast<size_t>(i) >= list.m_mhyp.size()) return SubscriptOutOfRange();
    if (Status st = WritePlaylist(list.m_mhyp[static_cast<size_t>(i)], out); !st.ok()) return st;
  }
  return Status::OK();
}

}  // namespace

Status BuildDatabaseImage(const Database& db, std::string* image, WriteStage* stage) {
  *stage = WriteStage::kNone;
  Image out;
  out.w.reserve(db.m_MHBD.sAllData.size() + (1 << 16));
  out.w.Put(0, db.m_MHBD.sHeaderData.view());
  auto fail = [&](WriteStage at, Status st) {
    *stage = at;
    return st;
  };
  if (Status st = out.MoveTo(db.m_MHBD.iHeaderSize); !st.ok())
    return fail(WriteStage::kHeader, st);
  if (!db.m_MHSD_T.sID.empty()) {
    if (Status st = WriteTrackSection(db, out); !st.ok()) return fail(WriteStage::kTrackList, st);
  }
  for (const MHSD_P* sec : {&db.m_MHSD_Podcasts, &db.m_MHSD_PlayLists}) {
    if (sec->sID.empty()) continue;
    if (Status st = WritePlaylistSection(*sec, out); !st.ok())
      return fail(WriteStage::kPlaylists, st);
  }
  auto put_image = [&](const Bytes& data, int64_t total) {
    out.w.Put(out.pos, data.view());
    return out.MoveTo(out.pos + total);
  };
  std::vector<const MHSD_A*> raw = {&db.m_MHSD_A, &db.m_MHSD_NP};
  for (const MHSD_A& o : db.m_aOtherSections) raw.push_back(&o);
  for (const MHSD_A* sec : raw) {
    if (sec->sAllData.empty()) continue;
    if (Status st = put_image(sec->sAllData, sec->iTotalSize); !st.ok())
      return fail(WriteStage::kHeader, st);
  }
  if (!db.m_sTrailingData.empty()) {
    if (Status st = put_image(db.m_sTrailingData, static_cast<int64_t>(db.m_sTrailingData.size()));
        !st.ok())
      return fail(WriteStage::kHeader, st);
  }
  // The real length of the file goes into the header's total-size field.
  out.w.PutLong(kFileSizeAt, static_cast<int32_t>(out.w.size()));
  *image = std::move(out.w.str());
  return Status::OK();
}

}  // namespace cadenza
