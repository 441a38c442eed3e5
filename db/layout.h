// The layout of every chunk: one table per record type naming each field,
// its offset in the chunk and the record member that holds it. The loader,
// the writer and the JSON form all walk these tables, so a field's place is
// written down once.
//
// A field's width and coding follow from the member's type: int32_t is a
// 4-byte number, int16_t 2 bytes, uint8_t 1 byte, uint64_t an 8-byte holder,
// FixedBytes<N> a byte string of N bytes (stored reversed where the field
// says so). The fields of each table tile its chunk's fixed part from byte 0
// without gaps or overlaps; the static_asserts below check that.
#ifndef CADENZA_DB_LAYOUT_H_
#define CADENZA_DB_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <variant>

#include "cadenza/records.h"
#include "db/codec.h"

namespace cadenza {

template <typename R>
using FieldMember =
    std::variant<int32_t R::*, int16_t R::*, uint8_t R::*, uint64_t R::*, FixedBytes<3> R::*,
                 FixedBytes<4> R::*, FixedBytes<8> R::*, FixedBytes<16> R::*, FixedBytes<20> R::*>;

template <typename R>
struct Field {
  const char* name;  // the record member's name
  int32_t offset;    // from the start of the chunk
  FieldMember<R> member;
  bool reversed = false;  // a byte string stored in reverse order
};

// Bytes a member of type T takes in the file.
template <typename T>
inline constexpr int32_t kWidth = sizeof(T);
template <size_t N>
inline constexpr int32_t kWidth<FixedBytes<N>> = static_cast<int32_t>(N);

template <typename M>
struct MemberOf;
template <typename R, typename T>
struct MemberOf<T R::*> {
  using type = T;
};

template <typename R>
constexpr int32_t Width(const Field<R>& f) {
  return std::visit([](auto m) { return kWidth<typename MemberOf<decltype(m)>::type>; },
                    f.member);
}

// The length of the part of a chunk that a run of fields covers.
template <typename Fields>
constexpr int32_t FixedSize(const Fields& fields) {
  const auto& last = std::data(fields)[std::size(fields) - 1];
  return last.offset + Width(last);
}

// The offset of `member` in `fields`; naming a member the table lacks does
// not compile.
template <typename R, size_t N, typename T>
consteval int32_t OffsetOf(const Field<R> (&fields)[N], T R::*member) {
  for (const Field<R>& f : fields) {
    if (std::holds_alternative<T R::*>(f.member) && std::get<T R::*>(f.member) == member)
      return f.offset;
  }
  throw "not a field of this table";
}

// Database header ("mhbd"). Only read: a write keeps the loaded header.
inline constexpr Field<MHBD> kMHBDFields[] = {
    {"sID", 0, &MHBD::sID},
    {"iHeaderSize", 4, &MHBD::iHeaderSize},
    {"iTotalSize", 8, &MHBD::iTotalSize},
    {"iUnk1", 12, &MHBD::iUnk1},
    {"iVersion", 16, &MHBD::iVersion},
    {"iNumberOfMHSD", 20, &MHBD::iNumberOfMHSD},
    {"sID2", 24, &MHBD::sID2},
    {"iUnk2", 32, &MHBD::iUnk2},
    {"sUnk3", 34, &MHBD::sUnk3},
    {"iUnk4", 42, &MHBD::iUnk4},
    {"iUnk5", 44, &MHBD::iUnk5},
    {"iLanguageID", 64, &MHBD::iLanguageID},
    {"sLibraryID", 66, &MHBD::sLibraryID},
    {"sHash", 74, &MHBD::sHash},
};

// Section ("mhsd") of any type.
template <typename Section>
inline constexpr Field<Section> kSectionFields[] = {
    {"sID", 0, &Section::sID},
    {"iHeaderSize", 4, &Section::iHeaderSize},
    {"iTotalSize", 8, &Section::iTotalSize},
    {"iType", 12, &Section::iType},
};

// Track list ("mhlt") and playlist list ("mhlp").
inline constexpr Field<MHLT> kMHLTFields[] = {
    {"sID", 0, &MHLT::sID},
    {"iHeaderSize", 4, &MHLT::iHeaderSize},
    {"iNumberOfllTracks", 8, &MHLT::iNumberOfllTracks},
};
inline constexpr Field<MHLP> kMHLPFields[] = {
    {"sID", 0, &MHLP::sID},
    {"iHeaderSize", 4, &MHLP::iHeaderSize},
    {"iNumberOfPlaylists", 8, &MHLP::iNumberOfPlaylists},
};

// Track ("mhit"), its fixed part.
inline constexpr Field<MHIT> kMHITFields[] = {
    {"sID", 0, &MHIT::sID},
    {"iHeaderSize", 4, &MHIT::iHeaderSize},
    {"iTotalSize", 8, &MHIT::iTotalSize},
    {"iNumberOfMHODS", 12, &MHIT::iNumberOfMHODS},
    {"iUniqueID", 16, &MHIT::iUniqueID},
    {"iVisible", 20, &MHIT::iVisible},
    {"sFiletype", 24, &MHIT::sFiletype, /*reversed=*/true},
    {"iType1", 28, &MHIT::iType1},
    {"iType2", 29, &MHIT::iType2},
    {"iFlag1", 30, &MHIT::iFlag1},
    {"iStartRating", 31, &MHIT::iStartRating},
    {"sLastModifiedTime", 32, &MHIT::sLastModifiedTime},
    {"iTrackSize", 36, &MHIT::iTrackSize},
    {"iTrackTimeLength", 40, &MHIT::iTrackTimeLength},
    {"iTrackNumber", 44, &MHIT::iTrackNumber},
    {"iTotalTracksNumber", 48, &MHIT::iTotalTracksNumber},
    {"sTrackYear", 52, &MHIT::sTrackYear},
    {"iBitrate", 56, &MHIT::iBitrate},
    {"iSampleRate", 60, &MHIT::iSampleRate},
    {"iVolume", 64, &MHIT::iVolume},
    {"iStartTime", 68, &MHIT::iStartTime},
    {"iStopTime", 72, &MHIT::iStopTime},
    {"iSoundCheck", 76, &MHIT::iSoundCheck},
    {"iPlayCount", 80, &MHIT::iPlayCount},
    {"iPlayCount2", 84, &MHIT::iPlayCount2},
    {"sLastPlayedTime", 88, &MHIT::sLastPlayedTime},
    {"iDiscNumber", 92, &MHIT::iDiscNumber},
    {"iTotalDisks", 96, &MHIT::iTotalDisks},
    {"iUserID", 100, &MHIT::iUserID},
    {"sDateAdded", 104, &MHIT::sDateAdded},
    {"iBookmarkTime", 108, &MHIT::iBookmarkTime},
    {"iDB_ID", 112, &MHIT::iDB_ID},
    {"iCheck", 120, &MHIT::iCheck},
    {"iApplicationRating", 121, &MHIT::iApplicationRating},
    {"iBPM", 122, &MHIT::iBPM},
    {"iArtworkCount", 124, &MHIT::iArtworkCount},
    {"iUnk1", 126, &MHIT::iUnk1},
    {"iArtworkSize", 128, &MHIT::iArtworkSize},
    {"iUnk2", 132, &MHIT::iUnk2},
    {"iSampleRate2", 136, &MHIT::iSampleRate2},
    {"sDateReleased", 140, &MHIT::sDateReleased},
    {"iUnk3", 144, &MHIT::iUnk3},
    {"iExplicitFlasg", 146, &MHIT::iExplicitFlasg},
    {"iUnk4", 148, &MHIT::iUnk4},
    {"iUnk5", 152, &MHIT::iUnk5},
    {"iSkipCount", 156, &MHIT::iSkipCount},
    {"sLastSkipped", 160, &MHIT::sLastSkipped},
    {"iHasArtwork", 164, &MHIT::iHasArtwork},
    {"iSkipWhenShuffle", 165, &MHIT::iSkipWhenShuffle},
    {"iRememPlaybackPos", 166, &MHIT::iRememPlaybackPos},
    {"iFlag2", 167, &MHIT::iFlag2},
    {"iDB_ID2", 168, &MHIT::iDB_ID2},
    {"iLyricsFlag", 176, &MHIT::iLyricsFlag},
    {"iMovieFileFlag", 177, &MHIT::iMovieFileFlag},
    {"iPlayedMark", 178, &MHIT::iPlayedMark},
    {"iUnk6", 179, &MHIT::iUnk6},
    {"iUnk7", 180, &MHIT::iUnk7},
    {"iPreGap", 184, &MHIT::iPreGap},
    {"iSampleCount", 188, &MHIT::iSampleCount},
    {"iUnk8", 196, &MHIT::iUnk8},
    {"iPostGap", 200, &MHIT::iPostGap},
    {"iUnk9", 204, &MHIT::iUnk9},
    {"iMediaType", 208, &MHIT::iMediaType},
    {"iSeasonNumber", 212, &MHIT::iSeasonNumber},
    {"iEpisodeNumber", 216, &MHIT::iEpisodeNumber},
    {"iUnk10", 220, &MHIT::iUnk10},
    {"iUnk11", 224, &MHIT::iUnk11},
    {"iUnk12", 228, &MHIT::iUnk12},
    {"iUnk13", 232, &MHIT::iUnk13},
    {"iUnk14", 236, &MHIT::iUnk14},
    {"iUnk15", 240, &MHIT::iUnk15},
    {"iUnk16", 244, &MHIT::iUnk16},
    {"iGaplessData", 248, &MHIT::iGaplessData},
    {"iUnk17", 252, &MHIT::iUnk17},
    {"iGaplessTrackFlag", 256, &MHIT::iGaplessTrackFlag},
    {"iGaplessAlbumFlag", 258, &MHIT::iGaplessAlbumFlag},
    {"sUnk18", 260, &MHIT::sUnk18},
    {"iUnk19", 280, &MHIT::iUnk19},
    {"iUnk20", 284, &MHIT::iUnk20},
    {"iUnk21", 288, &MHIT::iUnk21},
    {"iUnk22", 292, &MHIT::iUnk22},
    {"iUnk23", 296, &MHIT::iUnk23},
    {"iAlbumID", 298, &MHIT::iAlbumID},
    {"iMHIILink", 300, &MHIT::iMHIILink},
};

// Text data object ("mhod") of a track, or a playlist's title object: the
// text follows the fields. Its first four fields are the header every data
// object starts with.
inline constexpr Field<MHOD_S> kMHODSFields[] = {
    {"sID", 0, &MHOD_S::sID},
    {"iHeaderSize", 4, &MHOD_S::iHeaderSize},
    {"iTotalSize", 8, &MHOD_S::iTotalSize},
    {"iType", 12, &MHOD_S::iType},
    {"iUnk1", 16, &MHOD_S::iUnk1},
    {"iUnk2", 20, &MHOD_S::iUnk2},
    {"iPosition", 24, &MHOD_S::iPosition},
    {"iLength", 28, &MHOD_S::iLength},
    {"iUnk3", 32, &MHOD_S::iUnk3},
    {"iUnk4", 36, &MHOD_S::iUnk4},
};
inline constexpr size_t kDataObjectHeadFields = 4;

// A playlist's other data objects: the common header only (the object is
// kept whole).
inline constexpr Field<MHOD_PCD> kMHODPCDFields[] = {
    {"sID", 0, &MHOD_PCD::sID},
    {"iHeaderSize", 4, &MHOD_PCD::iHeaderSize},
    {"iTotalSize", 8, &MHOD_PCD::iTotalSize},
    {"iType", 12, &MHOD_PCD::iType},
};

// Playlist ("mhyp").
inline constexpr Field<MHYP> kMHYPFields[] = {
    {"sID", 0, &MHYP::sID},
    {"iHeaderSize", 4, &MHYP::iHeaderSize},
    {"iTotlaSize", 8, &MHYP::iTotlaSize},
    {"iChildsCount", 12, &MHYP::iChildsCount},
    {"iPlaylistItemsCount", 16, &MHYP::iPlaylistItemsCount},
    {"iIsMasterFLag", 20, &MHYP::iIsMasterFLag},
    {"sUnk1", 21, &MHYP::sUnk1},
    {"sTimeStamp", 24, &MHYP::sTimeStamp},
    {"sPerPlayListID", 28, &MHYP::sPerPlayListID},
    {"iUnk2", 36, &MHYP::iUnk2},
    {"iMHODCount", 40, &MHYP::iMHODCount},
    {"iPodCastFlag", 42, &MHYP::iPodCastFlag},
    {"iListSortOrder", 44, &MHYP::iListSortOrder},
};

// Playlist item ("mhip").
inline constexpr Field<MHIP> kMHIPFields[] = {
    {"sID", 0, &MHIP::sID},
    {"iHeaderSize", 4, &MHIP::iHeaderSize},
    {"iTotalSize", 8, &MHIP::iTotalSize},
    {"iChildCount", 12, &MHIP::iChildCount},
    {"iPodCastGroupFlag", 16, &MHIP::iPodCastGroupFlag},
    {"iUnk1", 18, &MHIP::iUnk1},
    {"iUnk2", 19, &MHIP::iUnk2},
    {"iGroupID", 20, &MHIP::iGroupID},
    {"iTrackID", 24, &MHIP::iTrackID},
    {"sTimeStamp", 28, &MHIP::sTimeStamp},
    {"sPodCastGroupRefrence", 32, &MHIP::sPodCastGroupRefrence},
};

// Order entry ("mhod" of type 100) after a playlist item. Its first three
// fields are what every item object has.
inline constexpr Field<MHOD_POE> kMHODPOEFields[] = {
    {"sID", 0, &MHOD_POE::sID},
    {"iHeaderSize", 4, &MHOD_POE::iHeaderSize},
    {"iTotalSize", 8, &MHOD_POE::iTotalSize},
    {"iType", 12, &MHOD_POE::iType},
    {"iUnk1", 16, &MHOD_POE::iUnk1},
    {"iUnk2", 20, &MHOD_POE::iUnk2},
    {"iPosition", 24, &MHOD_POE::iPosition},
    {"sUnk3", 28, &MHOD_POE::sUnk3},
};
inline constexpr size_t kItemObjectHeadFields = 3;

// Whether `fields` tile their chunk from byte 0: each starts where the one
// before it ends.
template <typename R, size_t N>
constexpr bool Tiles(const Field<R> (&fields)[N]) {
  int32_t end = 0;
  for (const Field<R>& f : fields) {
    if (f.offset != end) return false;
    end += Width(f);
  }
  return true;
}
static_assert(Tiles(kMHBDFields) && FixedSize(kMHBDFields) == 94);
static_assert(Tiles(kSectionFields<MHSD_T>) && FixedSize(kSectionFields<MHSD_T>) == 16);
static_assert(Tiles(kMHLTFields) && Tiles(kMHLPFields) && FixedSize(kMHLTFields) == 12);
static_assert(Tiles(kMHITFields) && FixedSize(kMHITFields) == 304);
static_assert(Tiles(kMHODSFields) && FixedSize(kMHODSFields) == 40);
static_assert(Tiles(kMHODPCDFields) && Tiles(kMHYPFields) && FixedSize(kMHYPFields) == 48);
static_assert(Tiles(kMHIPFields) && FixedSize(kMHIPFields) == 36);
static_assert(Tiles(kMHODPOEFields) && FixedSize(kMHODPOEFields) == 44);

namespace layout_internal {
inline void Load(ByteReader& r, bool, int32_t& v) { v = r.Long(); }
inline void Load(ByteReader& r, bool, int16_t& v) { v = r.Integer(); }
inline void Load(ByteReader& r, bool, uint8_t& v) { v = r.Byte(); }
inline void Load(ByteReader& r, bool, uint64_t& v) { v = r.Currency(); }
template <size_t N>
void Load(ByteReader& r, bool reversed, FixedBytes<N>& v) {
  if (reversed) {
    v = r.ReversedStr(N);
  } else {
    v = r.Str(N);
  }
}
inline void Store(ByteWriter& w, int64_t at, bool, int32_t v) { w.PutLong(at, v); }
inline void Store(ByteWriter& w, int64_t at, bool, int16_t v) { w.PutInteger(at, v); }
inline void Store(ByteWriter& w, int64_t at, bool, uint8_t v) { w.PutByte(at, v); }
inline void Store(ByteWriter& w, int64_t at, bool, uint64_t v) { w.PutCurrency(at, v); }
template <size_t N>
void Store(ByteWriter& w, int64_t at, bool reversed, const FixedBytes<N>& v) {
  const std::string_view s = v.view();
  if (reversed) {
    w.PutStr(at, std::string(s.rbegin(), s.rend()));
  } else {
    w.PutStr(at, s);
  }
}
}  // namespace layout_internal

// Reads `fields` of the chunk at `at` into `rec`. A field past the end of
// the file fails the reader (see ByteReader) and reads as zero or empty.
template <typename Fields, typename R>
void ReadFields(ByteReader& r, int64_t at, const Fields& fields, R& rec) {
  for (const auto& f : fields) {
    r.Seek(at + f.offset);
    std::visit([&](auto m) { layout_internal::Load(r, f.reversed, rec.*m); }, f.member);
  }
}

// Writes `fields` of `rec` into the chunk at `at`.
template <typename Fields, typename R>
void WriteFields(ByteWriter& w, int64_t at, const Fields& fields, const R& rec) {
  for (const auto& f : fields)
    std::visit([&](auto m) { layout_internal::Store(w, at + f.offset, f.reversed, rec.*m); },
               f.member);
}

// Beyond the fixed part of a track header: the id of the track's image in
// the ArtworkDB, where the devices read it (files of the desktop software
// hold a copy of the file size in the fixed part's last field instead).
inline constexpr int32_t kTrackCoverLinkAt = 0x160;

// A track's image link; 0 when its header is too short to hold one.
inline int32_t TrackCoverLink(const MHIT& t) {
  constexpr size_t at = kTrackCoverLinkAt;
  if (t.iHeaderSize < kTrackCoverLinkAt + 4 || t.sAllData.size() < at + 4) return 0;
  const auto* p = reinterpret_cast<const uint8_t*>(t.sAllData.data()) + at;
  return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                              uint32_t{p[3]} << 24);
}

}  // namespace cadenza

#endif  // CADENZA_DB_LAYOUT_H_
