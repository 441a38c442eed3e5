#include "db/loader.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "db/codec.h"
#include "db/layout.h"

namespace cadenza {

namespace {

// The smallest chunk there is: an identifier and two sizes. Every chunk must
// move the position forward by at least this much, which bounds the number
// of records a file of a given size can produce.
constexpr int64_t kMinChunk = 12;

constexpr auto kDataObjectHead = std::span(kMHODSFields).first(kDataObjectHeadFields);
constexpr auto kDataObjectText = std::span(kMHODSFields).subspan(kDataObjectHeadFields);
constexpr auto kItemObjectHead = std::span(kMHODPOEFields).first(kItemObjectHeadFields);
constexpr auto kOrderEntryRest = std::span(kMHODPOEFields).subspan(kItemObjectHeadFields);
constexpr int32_t kTextObjectHeader = FixedSize(kMHODSFields);
constexpr int32_t kOrderEntrySize = FixedSize(kMHODPOEFields);

Status CorruptAt(int64_t pos, const std::string& what) {
  return Status::Corrupt(what + " at offset " + std::to_string(pos));
}

// Moves the position of the next chunk to `to`, which must stay a 32-bit
// position.
Status MoveTo(int64_t& pos, int64_t to) {
  if (to < 0 || to > std::numeric_limits<int32_t>::max()) return Status::Corrupt("Overflow", 6);
  pos = to;
  return Status::OK();
}

// A count of chunks that follow at `pos`: it must not be negative, and the
// rest of the file must be able to hold that many chunks.
Status CheckCount(const ByteReader& r, int64_t pos, int64_t count, const char* what) {
  if (count < 0 || count > (r.size() - std::min(pos, r.size())) / kMinChunk)
    return CorruptAt(pos, std::string("Impossible number of ") + what);
  return Status::OK();
}

// Reads a data object at `m` into a string object record: a text object
// gets its fields and text, any other object its fields and its whole image.
Status ReadStringObject(ByteReader& r, int64_t m, MHOD_S& o) {
  if (!r.Has(m, FixedSize(kDataObjectHead)))
    return CorruptAt(m, "Data object beyond the end of the file");
  ReadFields(r, m, kDataObjectHead, o);
  const bool text_header = r.Has(m, kTextObjectHeader);
  if (text_header) ReadFields(r, m, kDataObjectText, o);
  if (o.iTotalSize < kMinChunk) return CorruptAt(m, "Data object too short");
  if (text_header && IsTextObject(o.iTotalSize, o.iLength)) {
    // The text stays the stored bytes (cut at the end of the file).
    o.sString = Utf16Text::FromBytes(r.Image(m + kTextObjectHeader, o.iLength));
  } else {
    o.sAllMHOD = r.Image(m, o.iTotalSize);
  }
  return Status::OK();
}

// Reads a section header (MHSD_T or MHSD_P) at `s`.
template <typename Section>
Status ReadSectionHeader(ByteReader& r, int64_t s, Section& sec) {
  ReadFields(r, s, kSectionFields<Section>, sec);
  if (r.failed()) return CorruptAt(s, "Section header beyond the end of the file");
  if (sec.iHeaderSize < FixedSize(kSectionFields<Section>))
    return CorruptAt(s, "Section header too short");
  sec.sHeaderData = r.Image(s, sec.iHeaderSize);
  sec.sAllData = r.Image(s, sec.iTotalSize);
  return Status::OK();
}

// Reads a list header (track list or playlist list) at `l`.
template <typename Fields, typename List>
Status ReadListHeader(ByteReader& r, int64_t l, const Fields& fields, List& list, Bytes& image,
                      const char* what) {
  ReadFields(r, l, fields, list);
  if (r.failed()) return CorruptAt(l, std::string(what) + " beyond the end of the file");
  if (list.iHeaderSize < kMinChunk) return CorruptAt(l, std::string(what) + " header too short");
  image = r.Image(l, list.iHeaderSize);
  return Status::OK();
}

// Decodes the track section at `pos` and leaves `pos` behind its last chunk.
Status ReadTrackSection(ByteReader& r, int64_t& pos, MHSD_T& sec) {
  const int64_t s = pos;
  if (Status st = ReadSectionHeader(r, s, sec); !st.ok()) return st;
  const int64_t l = s + sec.iHeaderSize;
  MHLT& list = sec.m_mhlt;
  if (Status st = ReadListHeader(r, l, kMHLTFields, list, list.sAllHeader, "Track list"); !st.ok())
    return st;
  if (Status st = MoveTo(pos, l + list.iHeaderSize); !st.ok()) return st;
  if (Status st = CheckCount(r, pos, list.iNumberOfllTracks, "tracks"); !st.ok()) return st;

  list.m_mhit.clear();
  // A track needs at least its fixed part; reserve no more than the file
  // could hold of those.
  list.m_mhit.reserve(static_cast<size_t>(std::min<int64_t>(
      list.iNumberOfllTracks, (r.size() - std::min(pos, r.size())) / FixedSize(kMHITFields) + 1)));
  for (int32_t i = 0; i < list.iNumberOfllTracks; ++i) {
    const int64_t t = pos;
    MHIT& k = list.m_mhit.emplace_back();
    ReadFields(r, t, kMHITFields, k);
    if (r.failed()) return CorruptAt(t, "Track beyond the end of the file");
    if (k.iHeaderSize < kMinChunk) return CorruptAt(t, "Track header too short");
    k.sAllData = r.Image(t, k.iTotalSize);

    if (Status st = MoveTo(pos, t + k.iHeaderSize); !st.ok()) return st;
    if (Status st = CheckCount(r, pos, k.iNumberOfMHODS, "data objects"); !st.ok()) return st;
    k.m_mhod.resize(static_cast<size_t>(k.iNumberOfMHODS));
    for (MHOD_S& o : k.m_mhod) {
      if (Status st = ReadStringObject(r, pos, o); !st.ok()) return st;
      if (Status st = MoveTo(pos, pos + o.iTotalSize); !st.ok()) return st;
    }
  }
  return Status::OK();
}

// Decodes a playlist's data objects at `pos`: the title first, then the
// others, kept whole.
Status ReadPlaylistObjects(ByteReader& r, int64_t& pos, MHYP& p) {
  if (Status st = CheckCount(r, pos, p.iChildsCount, "data objects"); !st.ok()) return st;
  for (int32_t j = 0; j < p.iChildsCount; ++j) {
    const int64_t m = pos;
    int32_t step;
    if (j == 0) {
      if (Status st = ReadStringObject(r, m, p.m_mhod_s); !st.ok()) return st;
      step = p.m_mhod_s.iTotalSize;
    } else {
      MHOD_PCD& o = p.m_mhod_pcd.emplace_back();
      ReadFields(r, m, kMHODPCDFields, o);
      if (r.failed()) return CorruptAt(m, "Data object beyond the end of the file");
      if (o.iTotalSize < kMinChunk) return CorruptAt(m, "Data object too short");
      o.sAllMHOD = r.Image(m, o.iTotalSize);
      step = o.iTotalSize;
    }
    if (Status st = MoveTo(pos, m + step); !st.ok()) return st;
  }
  return Status::OK();
}

// Decodes a playlist item and the objects it announces at `pos`: usually
// one order entry; in podcast groups a title object; some writers store
// none.
Status ReadItem(ByteReader& r, int64_t& pos, MHIP& item, MHOD_POE& e) {
  const int64_t it = pos;
  ReadFields(r, it, kMHIPFields, item);
  if (r.failed()) return CorruptAt(it, "Playlist item beyond the end of the file");
  if (item.iHeaderSize < kMinChunk) return CorruptAt(it, "Playlist item header too short");
  item.sHeaderData = r.Image(it, item.iHeaderSize);
  if (Status st = MoveTo(pos, it + item.iHeaderSize); !st.ok()) return st;

  if (Status st = CheckCount(r, pos, item.iChildCount, "item objects"); !st.ok()) return st;
  const int64_t o = pos;
  for (int32_t c = 0; c < item.iChildCount; ++c) {
    const int64_t m = pos;
    if (!r.Has(m, FixedSize(kItemObjectHead)))
      return CorruptAt(m, "Item object beyond the end of the file");
    MHOD_POE head;
    ReadFields(r, m, kItemObjectHead, head);
    if (head.iTotalSize < kMinChunk) return CorruptAt(m, "Item object too short");
    if (c == 0) {
      e = head;
      if (r.Has(m, kOrderEntrySize)) ReadFields(r, m, kOrderEntryRest, e);
    }
    if (Status st = MoveTo(pos, m + head.iTotalSize); !st.ok()) return st;
  }
  if (item.iChildCount > 0) e.sAllMHOD = r.Image(o, pos - o);
  return Status::OK();
}

// Decodes a playlist section (type 2 or 3) at `pos` and leaves `pos`
// behind its last chunk.
Status ReadPlaylistSection(ByteReader& r, int64_t& pos, MHSD_P& sec) {
  const int64_t s = pos;
  if (Status st = ReadSectionHeader(r, s, sec); !st.ok()) return st;
  const int64_t l = s + sec.iHeaderSize;
  MHLP& list = sec.m_mhlp;
  if (Status st = ReadListHeader(r, l, kMHLPFields, list, list.sHeaderData, "Playlist list");
      !st.ok())
    return st;
  if (Status st = MoveTo(pos, l + list.iHeaderSize); !st.ok()) return st;
  if (Status st = CheckCount(r, pos, list.iNumberOfPlaylists, "playlists"); !st.ok()) return st;

  list.m_mhyp.clear();
  list.m_mhyp.reserve(static_cast<size_t>(list.iNumberOfPlaylists));
  for (int32_t i = 0; i < list.iNumberOfPlaylists; ++i) {
    const int64_t y = pos;
    MHYP& p = list.m_mhyp.emplace_back();
    ReadFields(r, y, kMHYPFields, p);
    if (r.failed()) return CorruptAt(y, "Playlist beyond the end of the file");
    if (p.iHeaderSize < kMinChunk) return CorruptAt(y, "Playlist header too short");
    p.sAllData = r.Image(y, p.iTotlaSize);
    if (Status st = MoveTo(pos, y + p.iHeaderSize); !st.ok()) return st;
    if (Status st = ReadPlaylistObjects(r, pos, p); !st.ok()) return st;

    if (Status st = CheckCount(r, pos, p.iPlaylistItemsCount, "playlist items"); !st.ok())
      return st;
    p.m_mhip.resize(static_cast<size_t>(p.iPlaylistItemsCount));
    p.m_mhod_poe.resize(static_cast<size_t>(p.iPlaylistItemsCount));
    for (size_t k = 0; k < p.m_mhip.size(); ++k)
      if (Status st = ReadItem(r, pos, p.m_mhip[k], p.m_mhod_poe[k]); !st.ok()) return st;
  }
  return Status::OK();
}

}  // namespace

bool IsTextObject(int32_t total_size, int32_t length) {
  return length >= 0 && length % 2 == 0 &&
         static_cast<int64_t>(total_size) == kTextObjectHeader + static_cast<int64_t>(length);
}

Status LoadDatabase(Bytes file, Database& db) {
  ByteReader r(std::move(file));
  MHBD& h = db.m_MHBD;
  ReadFields(r, 0, kMHBDFields, h);
  if (r.failed()) return Status::Corrupt("The database header is incomplete");
  h.sHeaderData = r.Image(0, h.iHeaderSize);
  h.sAllData = r.Image(0, h.iTotalSize);

  int64_t pos = 0;
  if (Status st = MoveTo(pos, h.iHeaderSize); !st.ok()) return st;
  if (!r.IdAt(pos, "mhsd")) return CorruptAt(pos, "No section after the database header");
  if (h.iNumberOfMHSD > 0) {
    if (Status st = CheckCount(r, pos, h.iNumberOfMHSD, "sections"); !st.ok()) return st;
  }

  for (int32_t n = 0; n < h.iNumberOfMHSD; ++n) {
    const int64_t s = pos;
    if (!r.Has(s, FixedSize(kSectionFields<MHSD_A>)))
      return CorruptAt(s, "Section beyond the end of the file");
    MHSD_A head;
    ReadFields(r, s, kSectionFields<MHSD_A>, head);
    Status st;
    switch (head.iType) {
      case 1:
        st = ReadTrackSection(r, pos, db.m_MHSD_T);
        break;
      case 2:
        st = ReadPlaylistSection(r, pos, db.m_MHSD_PlayLists);
        break;
      case 3:
        st = ReadPlaylistSection(r, pos, db.m_MHSD_Podcasts);
        break;
      default: {
        // Types 4 and 5 have records of their own; any other type is kept
        // too, so that writing the database back loses nothing.
        if (head.iTotalSize < FixedSize(kSectionFields<MHSD_A>))
          return CorruptAt(s, "Section too short");
        head.sAllData = r.Image(s, head.iTotalSize);
        st = MoveTo(pos, s + head.iTotalSize);
        if (head.iType == 4) {
          db.m_MHSD_A = std::move(head);
        } else if (head.iType == 5) {
          db.m_MHSD_NP = std::move(head);
        } else {
          db.m_aOtherSections.push_back(std::move(head));
        }
        break;
      }
    }
    if (!st.ok()) return st;
    if (pos <= s) return CorruptAt(s, "Section does not advance");
    // A section whose chunks claim more bytes than the file holds would be
    // written back with a gap of that size.
    if (pos > r.size()) return CorruptAt(s, "Section reaches past the end of the file");
  }
  if (pos < r.size()) db.m_sTrailingData = r.Image(pos, r.size() - pos);
  db.m_iDeletedTracks = 0;
  return Status::OK();
}

}  // namespace cadenza
