#include "db/loader.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace cadenza {

namespace {

// The smallest chunk there is: an identifier and two sizes. Every chunk must
// move the position forward by at least this much, which bounds the number
// of records a file of a given size can produce.
constexpr int64_t kMinChunk = 12;

Status CorruptAt(int64_t pos, const std::string& what) {
  return Status::Corrupt(what + " at offset " + std::to_string(pos));
}

// Moves db.m_iPos to `pos`, which must stay a 32-bit position.
Status SetPos(Database& db, int64_t pos) {
  if (pos < 0 || pos > std::numeric_limits<int32_t>::max())
    return Status::Corrupt("Overflow", 6);
  db.m_iPos = static_cast<int32_t>(pos);
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
  if (!r.Has(m, 16)) return CorruptAt(m, "Data object beyond the end of the file");
  r.Seek(m);
  o.sID = r.Str(4);
  o.iHeaderSize = r.Long();
  o.iTotalSize = r.Long();
  o.iType = r.Long();
  if (r.Has(m, 40)) {
    o.iUnk1 = r.Long();
    o.iUnk2 = r.Long();
    o.iPosition = r.Long();
    o.iLength = r.Long();
    o.iUnk3 = r.Long();
    o.iUnk4 = r.Long();
  }
  if (o.iTotalSize < kMinChunk) return CorruptAt(m, "Data object too short");
  if (r.Has(m, 40) && IsTextObject(o.iTotalSize, o.iLength)) {
    // The text stays the stored bytes (cut at the end of the file).
    o.sString = Utf16Text::FromBytes(r.Image(m + 40, o.iLength));
  } else {
    o.sAllMHOD = r.Image(m, o.iTotalSize);
  }
  return Status::OK();
}

// Reads a section header (MHSD_T or MHSD_P) at `s`.
template <typename Section>
Status ReadSectionHeader(ByteReader& r, int64_t s, Section& sec) {
  r.Seek(s);
  sec.sID = r.Str(4);
  sec.iHeaderSize = r.Long();
  sec.iTotalSize = r.Long();
  sec.iType = r.Long();
  if (r.failed()) return CorruptAt(s, "Section header beyond the end of the file");
  if (sec.iHeaderSize < 16) return CorruptAt(s, "Section header too short");
  sec.sHeaderData = r.Image(s, sec.iHeaderSize);
  sec.sAllData = r.Image(s, sec.iTotalSize);
  return Status::OK();
}

// Reads a list header (track list or playlist list) at `l`: its
// identifier, header length and count.
Status ReadListHeader(ByteReader& r, int64_t l, FixedBytes<4>& id, int32_t& header_size,
                      int32_t& count, Bytes& image, const char* what) {
  r.Seek(l);
  id = r.Str(4);
  header_size = r.Long();
  count = r.Long();
  if (r.failed()) return CorruptAt(l, std::string(what) + " beyond the end of the file");
  if (header_size < kMinChunk) return CorruptAt(l, std::string(what) + " header too short");
  image = r.Image(l, header_size);
  return Status::OK();
}

}  // namespace

bool IsTextObject(int32_t total_size, int32_t length) {
  return length >= 0 && length % 2 == 0 &&
         static_cast<int64_t>(total_size) == 40 + static_cast<int64_t>(length);
}

Status ReadTrackList(ByteReader& r, Database& db) {
  MHSD_T& sec = db.m_MHSD_T;
  const int64_t s = db.m_iPos;
  if (Status st = ReadSectionHeader(r, s, sec); !st.ok()) return st;
  const int64_t l = s + sec.iHeaderSize;
  MHLT& list = sec.m_mhlt;
  if (Status st = ReadListHeader(r, l, list.sID, list.iHeaderSize, list.iNumberOfllTracks,
                                 list.sAllHeader, "Track list");
      !st.ok())
    return st;
  int64_t pos = l + list.iHeaderSize;
  if (Status st = SetPos(db, pos); !st.ok()) return st;
  if (Status st = CheckCount(r, pos, list.iNumberOfllTracks, "tracks"); !st.ok()) return st;

  list.m_mhit.clear();
  // A track needs at least its 304-byte fixed part; reserve no more than
  // the file could hold of those.
  list.m_mhit.reserve(static_cast<size_t>(
      std::min<int64_t>(list.iNumberOfllTracks, (r.size() - std::min(pos, r.size())) / 304 + 1)));
  for (int32_t i = 0; i < list.iNumberOfllTracks; ++i) {
    const int64_t t = pos;
    MHIT& k = list.m_mhit.emplace_back();
    r.Seek(t);
    k.sID = r.Str(4);
    k.iHeaderSize = r.Long();
    k.iTotalSize = r.Long();
    k.iNumberOfMHODS = r.Long();
    k.iUniqueID = r.Long();
    k.iVisible = r.Long();
    k.sFiletype = r.ReversedStr(4);
    k.iType1 = r.Byte();
    k.iType2 = r.Byte();
    k.iFlag1 = r.Byte();
    k.iStartRating = r.Byte();
    k.sLastModifiedTime = r.Str(4);
    k.iTrackSize = r.Long();
    k.iTrackTimeLength = r.Long();
    k.iTrackNumber = r.Long();
    k.iTotalTracksNumber = r.Long();
    k.sTrackYear = r.Str(4);
    k.iBitrate = r.Long();
    k.iSampleRate = r.Long();
    k.iVolume = r.Long();
    k.iStartTime = r.Long();
    k.iStopTime = r.Long();
    k.iSoundCheck = r.Long();
    k.iPlayCount = r.Long();
    k.iPlayCount2 = r.Long();
    k.sLastPlayedTime = r.Str(4);
    k.iDiscNumber = r.Long();
    k.iTotalDisks = r.Long();
    k.iUserID = r.Long();
    k.sDateAdded = r.Str(4);
    k.iBookmarkTime = r.Long();
    k.iDB_ID = r.Currency();
    k.iCheck = r.Byte();
    k.iApplicationRating = r.Byte();
    k.iBPM = r.Integer();
    k.iArtworkCount = r.Integer();
    k.iUnk1 = r.Integer();
    k.iArtworkSize = r.Long();
    k.iUnk2 = r.Long();
    k.iSampleRate2 = r.Long();
    k.sDateReleased = r.Str(4);
    k.iUnk3 = r.Integer();
    k.iExplicitFlasg = r.Integer();
    k.iUnk4 = r.Long();
    k.iUnk5 = r.Long();
    k.iSkipCount = r.Long();
    k.sLastSkipped = r.Str(4);
    k.iHasArtwork = r.Byte();
    k.iSkipWhenShuffle = r.Byte();
    k.iRememPlaybackPos = r.Byte();
    k.iFlag2 = r.Byte();
    k.iDB_ID2 = r.Currency();
    k.iLyricsFlag = r.Byte();
    k.iMovieFileFlag = r.Byte();
    k.iPlayedMark = r.Byte();
    k.iUnk6 = r.Byte();
    k.iUnk7 = r.Long();
    k.iPreGap = r.Long();
    k.iSampleCount = r.Currency();
    k.iUnk8 = r.Long();
    k.iPostGap = r.Long();
    k.iUnk9 = r.Long();
    k.iMediaType = r.Long();
    k.iSeasonNumber = r.Long();
    k.iEpisodeNumber = r.Long();
    k.iUnk10 = r.Long();
    k.iUnk11 = r.Long();
    k.iUnk12 = r.Long();
    k.iUnk13 = r.Long();
    k.iUnk14 = r.Long();
    k.iUnk15 = r.Long();
    k.iUnk16 = r.Long();
    k.iGaplessData = r.Long();
    k.iUnk17 = r.Long();
    k.iGaplessTrackFlag = r.Integer();
    k.iGaplessAlbumFlag = r.Integer();
    k.sUnk18 = r.Str(20);
    k.iUnk19 = r.Long();
    k.iUnk20 = r.Long();
    k.iUnk21 = r.Long();
    k.iUnk22 = r.Long();
    k.iUnk23 = r.Integer();
    k.iAlbumID = r.Integer();
    k.iMHIILink = r.Long();
    if (r.failed()) return CorruptAt(t, "Track beyond the end of the file");
    if (k.iHeaderSize < kMinChunk) return CorruptAt(t, "Track header too short");
    k.sAllData = r.Image(t, k.iTotalSize);

    pos = t + k.iHeaderSize;
    if (Status st = SetPos(db, pos); !st.ok()) return st;
    if (Status st = CheckCount(r, pos, k.iNumberOfMHODS, "data objects"); !st.ok()) return st;
    k.m_mhod.resize(static_cast<size_t>(k.iNumberOfMHODS));
    for (MHOD_S& o : k.m_mhod) {
      if (Status st = ReadStringObject(r, pos, o); !st.ok()) return st;
      pos += o.iTotalSize;
      if (Status st = SetPos(db, pos); !st.ok()) return st;
    }
  }
  return Status::OK();
}

Status ReadPlaylistSection(ByteReader& r, Database& db, MHSD_P& sec) {
  const int64_t s = db.m_iPos;
  if (Status st = ReadSectionHeader(r, s, sec); !st.ok()) return st;
  const int64_t l = s + sec.iHeaderSize;
  MHLP& list = sec.m_mhlp;
  if (Status st = ReadListHeader(r, l, list.sID, list.iHeaderSize, list.iNumberOfPlaylists,
                                 list.sHeaderData, "Playlist list");
      !st.ok())
    return st;
  int64_t pos = l + list.iHeaderSize;
  if (Status st = SetPos(db, pos); !st.ok()) return st;
  if (Status st = CheckCount(r, pos, list.iNumberOfPlaylists, "playlists"); !st.ok()) return st;

  list.m_mhyp.clear();
  list.m_mhyp.reserve(static_cast<size_t>(list.iNumberOfPlaylists));
  for (int32_t i = 0; i < list.iNumberOfPlaylists; ++i) {
    const int64_t y = pos;
    MHYP& p = list.m_mhyp.emplace_back();
    r.Seek(y);
    p.sID = r.Str(4);
    p.iHeaderSize = r.Long();
    p.iTotlaSize = r.Long();
    p.iChildsCount = r.Long();
    p.iPlaylistItemsCount = r.Long();
    p.iIsMasterFLag = r.Byte();
    p.sUnk1 = r.Str(3);
    p.sTimeStamp = r.Str(4);
    p.sPerPlayListID = r.Str(8);
    p.iUnk2 = r.Long();
    p.iMHODCount = r.Integer();
    p.iPodCastFlag = r.Integer();
    p.iListSortOrder = r.Long();
    if (r.failed()) return CorruptAt(y, "Playlist beyond the end of the file");
    if (p.iHeaderSize < kMinChunk) return CorruptAt(y, "Playlist header too short");
    p.sAllData = r.Image(y, p.iTotlaSize);

    pos = y + p.iHeaderSize;
    if (Status st = SetPos(db, pos); !st.ok()) return st;
    if (Status st = CheckCount(r, pos, p.iChildsCount, "data objects"); !st.ok()) return st;
    for (int32_t j = 0; j < p.iChildsCount; ++j) {
      const int64_t m = pos;
      int32_t step;
      if (j == 0) {
        if (Status st = ReadStringObject(r, m, p.m_mhod_s); !st.ok()) return st;
        step = p.m_mhod_s.iTotalSize;
      } else {
        MHOD_PCD& o = p.m_mhod_pcd.emplace_back();
        r.Seek(m);
        o.sID = r.Str(4);
        o.iHeaderSize = r.Long();
        o.iTotalSize = r.Long();
        o.iType = r.Long();
        if (r.failed()) return CorruptAt(m, "Data object beyond the end of the file");
        if (o.iTotalSize < kMinChunk) return CorruptAt(m, "Data object too short");
        o.sAllMHOD = r.Image(m, o.iTotalSize);
        step = o.iTotalSize;
      }
      pos = m + step;
      if (Status st = SetPos(db, pos); !st.ok()) return st;
    }

    if (Status st = CheckCount(r, pos, p.iPlaylistItemsCount, "playlist items"); !st.ok())
      return st;
    p.m_mhip.resize(static_cast<size_t>(p.iPlaylistItemsCount));
    p.m_mhod_poe.resize(static_cast<size_t>(p.iPlaylistItemsCount));
    for (int32_t k = 0; k < p.iPlaylistItemsCount; ++k) {
      const int64_t it = pos;
      MHIP& item = p.m_mhip[static_cast<size_t>(k)];
      r.Seek(it);
      item.sID = r.Str(4);
      item.iHeaderSize = r.Long();
      item.iTotalSize = r.Long();
      item.iChildCount = r.Long();
      item.iPodCastGroupFlag = r.Integer();
      item.iUnk1 = r.Byte();
      item.iUnk2 = r.Byte();
      item.iGroupID = r.Long();
      item.iTrackID = r.Long();
      item.sTimeStamp = r.Str(4);
      item.sPodCastGroupRefrence = r.Str(4);
      if (r.failed()) return CorruptAt(it, "Playlist item beyond the end of the file");
      if (item.iHeaderSize < kMinChunk) return CorruptAt(it, "Playlist item header too short");
      item.sHeaderData = r.Image(it, item.iHeaderSize);
      pos = it + item.iHeaderSize;
      if (Status st = SetPos(db, pos); !st.ok()) return st;

      // The objects that the item announces: usually one order entry; in
      // podcast groups a title object; some writers store none.
      if (Status st = CheckCount(r, pos, item.iChildCount, "item objects"); !st.ok()) return st;
      MHOD_POE& e = p.m_mhod_poe[static_cast<size_t>(k)];
      const int64_t o = pos;
      for (int32_t c = 0; c < item.iChildCount; ++c) {
        const int64_t m = pos;
        if (!r.Has(m, 12)) return CorruptAt(m, "Item object beyond the end of the file");
        r.Seek(m);
        std::string_view id = r.Str(4);
        r.Long();
        int32_t total = r.Long();
        if (total < kMinChunk) return CorruptAt(m, "Item object too short");
        if (c == 0) {
          r.Seek(m + 4);
          e.sID = id;
          e.iHeaderSize = r.Long();
          e.iTotalSize = r.Long();
          if (r.Has(m, 44)) {
            e.iType = r.Long();
            e.iUnk1 = r.Long();
            e.iUnk2 = r.Long();
            e.iPosition = r.Long();
            e.sUnk3 = r.Str(16);
          }
        }
        pos = m + total;
        if (Status st = SetPos(db, pos); !st.ok()) return st;
      }
      if (item.iChildCount > 0) e.sAllMHOD = r.Image(o, pos - o);
    }
  }
  return Status::OK();
}

Status LoadDatabase(Bytes file, Database& db) {
  ByteReader r(std::move(file));
  MHBD& h = db.m_MHBD;
  h.sID = r.Str(4);
  h.iHeaderSize = r.Long();
  h.iTotalSize = r.Long();
  h.iUnk1 = r.Long();
  h.iVersion = r.Long();
  h.iNumberOfMHSD = r.Long();
  h.sID2 = r.Str(8);
  h.iUnk2 = r.Integer();
  h.sUnk3 = r.Str(8);
  h.iUnk4 = r.Integer();
  h.iUnk5 = r.Str(20);
  h.iLanguageID = r.Integer();
  h.sLibraryID = r.Str(8);
  h.sHash = r.Str(20);
  if (r.failed()) return Status::Corrupt("The database header is incomplete");
  h.sHeaderData = r.Image(0, h.iHeaderSize);
  h.sAllData = r.Image(0, h.iTotalSize);

  int64_t pos = h.iHeaderSize;
  if (Status st = SetPos(db, pos); !st.ok()) return st;
  if (!r.IdAt(pos, "mhsd")) return CorruptAt(pos, "No section after the database header");
  if (h.iNumberOfMHSD > 0) {
    if (Status st = CheckCount(r, pos, h.iNumberOfMHSD, "sections"); !st.ok()) return st;
  }

  for (int32_t n = 0; n < h.iNumberOfMHSD; ++n) {
    const int64_t s = db.m_iPos;
    if (!r.Has(s, 16)) return CorruptAt(s, "Section beyond the end of the file");
    int32_t total = static_cast<int32_t>(LoadLE32(r.data() + s + 8));
    int32_t type = static_cast<int32_t>(LoadLE32(r.data() + s + 12));
    Status st;
    switch (type) {
      case 1:
        st = ReadTrackList(r, db);
        break;
      case 2:
        st = ReadPlaylistSection(r, db, db.m_MHSD_PlayLists);
        break;
      case 3:
        st = ReadPlaylistSection(r, db, db.m_MHSD_Podcasts);
        break;
      default: {
        // Types 4 and 5 have records of their own; any other type is kept
        // too, so that writing the database back loses nothing.
        if (total < 16) return CorruptAt(s, "Section too short");
        MHSD_A image;
        image.sID = "mhsd";
        image.iTotalSize = total;
        image.iType = type;
        image.sAllData = r.Image(s, total);
        if (type == 4) {
          db.m_MHSD_A = std::move(image);
        } else if (type == 5) {
          db.m_MHSD_NP = std::move(image);
        } else {
          image.iHeaderSize = static_cast<int32_t>(LoadLE32(r.data() + s + 4));
          db.m_aOtherSections.push_back(std::move(image));
        }
        st = SetPos(db, s + total);
        break;
      }
    }
    if (!st.ok()) return st;
    if (db.m_iPos <= s) return CorruptAt(s, "Section does not advance");
    // A section whose chunks claim more bytes than the file holds would be
    // written back with a gap of that size.
    if (db.m_iPos > r.size()) return CorruptAt(s, "Section reaches past the end of the file");
  }
  if (db.m_iPos < r.size())
    db.m_sTrailingData = r.Image(db.m_iPos, r.size() - db.m_iPos);
  db.m_iDeletedTracks = 0;
  return Status::OK();
}

}  // namespace cadenza
