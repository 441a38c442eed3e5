// The public records: one struct per chunk of the iPod database, and the
// TrackInfo description of one track.
//
// Field names and their order are part of the public interface (a COM wrapper
// exposes them as they are), including the historic spellings
// (iNumberOfllTracks, iTotlaSize, iIsMasterFLag, iExplicitFlasg,
// sPodCastGroupRefrence).
//
// Conventions:
//  - iXxx numbers mirror the little-endian fields of the file: int32_t for
//    4-byte fields, int16_t for 2-byte fields, uint8_t for 1-byte fields.
//    8-byte fields are raw 8-byte holders (uint64_t whose little-endian bytes
//    are the file bytes), never computed with.
//  - sXxx byte strings (FixedBytes<width>) hold the field's file bytes, in
//    file order: chunk identifiers, dates, ids.
//  - Images (Bytes) hold whole headers or chunks as loaded.
//  - Text of the data objects (Utf16Text) is held as its stored UTF-16LE
//    bytes, so that decoding and encoding give back the same bytes.
//    TrackInfo text is UTF-8.
#ifndef CADENZA_RECORDS_H_
#define CADENZA_RECORDS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cadenza/bytes.h"

namespace cadenza {

// Types of the data objects ("mhod") of tracks and playlists, as stored in
// their iType field.
enum class DataObjectType : int32_t {
  kTitle = 1,
  kLocation = 2,
  kAlbum = 3,
  kArtist = 4,
  kGenre = 5,
  kFileType = 6,
  kEqualizer = 7,
  kComment = 8,
  kCategory = 9,
  kComposer = 12,
  kGrouping = 13,
  kDescription = 14,
  kPodcastEnclosureUrl = 15,
  kPodcastRssUrl = 16,
  kChapterData = 17,
  kSubtitle = 18,
  kShow = 19,
  kEpisodeId = 20,
  kTvNetwork = 21,
  kAlbumArtist = 22,
  kSortArtist = 23,
  kKeywords = 24,
  kSortTitle = 27,
  kSortAlbum = 28,
  kSortAlbumArtist = 29,
  kSortComposer = 30,
  kSortShow = 31,
  kSmartPlaylistData = 50,
  kSmartPlaylistRules = 51,
  kLibraryIndex = 52,
  kLibraryJumpTable = 53,
  kPlaylistEntry = 100,  // an item's order entry, or a playlist's settings
};

// Database header chunk ("mhbd").
struct MHBD {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotalSize = 0;
  int32_t iUnk1 = 0;
  int32_t iVersion = 0;
  int32_t iNumberOfMHSD = 0;
  FixedBytes<8> sID2;  // 8 bytes
  int16_t iUnk2 = 0;
  FixedBytes<8> sUnk3;  // 8 bytes
  int16_t iUnk4 = 0;
  FixedBytes<20> iUnk5;  // 20 bytes (a byte string despite its prefix)
  int16_t iLanguageID = 0;
  FixedBytes<8> sLibraryID;  // 8 bytes
  FixedBytes<20> sHash;       // 20 bytes
  Bytes sHeaderData;       // the first iHeaderSize bytes of the file
  Bytes sAllData;          // the first iTotalSize bytes of the file
};

// String (text) data object of a track, or the title object of a playlist.
// A data object that is not laid out as text (its total size is not 40 plus
// its text length) is kept whole in sAllMHOD and written back unchanged; its
// sString is then empty and it is left alone by the text operations.
struct MHOD_S {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotalSize = 0;
  int32_t iType = 0;
  int32_t iUnk1 = 0;
  int32_t iUnk2 = 0;
  int32_t iPosition = 0;
  int32_t iLength = 0;
  int32_t iUnk3 = 0;
  int32_t iUnk4 = 0;
  Utf16Text sString;
  Bytes sAllMHOD;  // non-empty only for objects kept whole
};

// One track ("mhit"). The fixed part is 304 bytes; longer headers keep
// their extra bytes in sAllData.
struct MHIT {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotalSize = 0;
  int32_t iNumberOfMHODS = 0;
  int32_t iUniqueID = 0;
  int32_t iVisible = 0;
  FixedBytes<4> sFiletype;  // reading order; the file holds it reversed
  uint8_t iType1 = 0;
  uint8_t iType2 = 0;
  uint8_t iFlag1 = 0;
  uint8_t iStartRating = 0;
  FixedBytes<4> sLastModifiedTime;
  int32_t iTrackSize = 0;
  int32_t iTrackTimeLength = 0;
  int32_t iTrackNumber = 0;
  int32_t iTotalTracksNumber = 0;
  FixedBytes<4> sTrackYear;  // 4 bytes: the year as a 32-bit little-endian number
  int32_t iBitrate = 0;
  int32_t iSampleRate = 0;
  int32_t iVolume = 0;
  int32_t iStartTime = 0;
  int32_t iStopTime = 0;
  int32_t iSoundCheck = 0;
  int32_t iPlayCount = 0;
  int32_t iPlayCount2 = 0;
  FixedBytes<4> sLastPlayedTime;
  int32_t iDiscNumber = 0;
  int32_t iTotalDisks = 0;
  int32_t iUserID = 0;
  FixedBytes<4> sDateAdded;
  int32_t iBookmarkTime = 0;
  uint64_t iDB_ID = 0;
  uint8_t iCheck = 0;
  uint8_t iApplicationRating = 0;
  int16_t iBPM = 0;
  int16_t iArtworkCount = 0;
  int16_t iUnk1 = 0;
  int32_t iArtworkSize = 0;
  int32_t iUnk2 = 0;
  int32_t iSampleRate2 = 0;
  FixedBytes<4> sDateReleased;
  int16_t iUnk3 = 0;
  int16_t iExplicitFlasg = 0;
  int32_t iUnk4 = 0;
  int32_t iUnk5 = 0;
  int32_t iSkipCount = 0;
  FixedBytes<4> sLastSkipped;
  uint8_t iHasArtwork = 0;
  uint8_t iSkipWhenShuffle = 0;
  uint8_t iRememPlaybackPos = 0;
  uint8_t iFlag2 = 0;
  uint64_t iDB_ID2 = 0;
  uint8_t iLyricsFlag = 0;
  uint8_t iMovieFileFlag = 0;
  uint8_t iPlayedMark = 0;
  uint8_t iUnk6 = 0;
  int32_t iUnk7 = 0;
  int32_t iPreGap = 0;
  uint64_t iSampleCount = 0;
  int32_t iUnk8 = 0;
  int32_t iPostGap = 0;
  int32_t iUnk9 = 0;
  int32_t iMediaType = 0;
  int32_t iSeasonNumber = 0;
  int32_t iEpisodeNumber = 0;
  int32_t iUnk10 = 0;
  int32_t iUnk11 = 0;
  int32_t iUnk12 = 0;
  int32_t iUnk13 = 0;
  int32_t iUnk14 = 0;
  int32_t iUnk15 = 0;
  int32_t iUnk16 = 0;
  int32_t iGaplessData = 0;
  int32_t iUnk17 = 0;
  int16_t iGaplessTrackFlag = 0;
  int16_t iGaplessAlbumFlag = 0;
  FixedBytes<20> sUnk18;  // 20 bytes
  int32_t iUnk19 = 0;
  int32_t iUnk20 = 0;
  int32_t iUnk21 = 0;
  int32_t iUnk22 = 0;
  int16_t iUnk23 = 0;
  int16_t iAlbumID = 0;
  int32_t iMHIILink = 0;
  Bytes sAllData;  // the track chunk with its data objects, as loaded
  std::vector<MHOD_S> m_mhod;
};

// Track list ("mhlt").
struct MHLT {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iNumberOfllTracks = 0;
  Bytes sAllHeader;
  std::vector<MHIT> m_mhit;
  int32_t iTracks2Delete = 0;  // not in the file; unused
};

// A playlist data object other than the title, kept whole.
struct MHOD_PCD {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotalSize = 0;
  int32_t iType = 0;
  Bytes sAllMHOD;
};

// One playlist item ("mhip").
struct MHIP {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotalSize = 0;
  int32_t iChildCount = 0;
  int16_t iPodCastGroupFlag = 0;
  uint8_t iUnk1 = 0;
  uint8_t iUnk2 = 0;
  int32_t iGroupID = 0;
  int32_t iTrackID = 0;
  FixedBytes<4> sTimeStamp;
  FixedBytes<4> sPodCastGroupRefrence;
  // The item header as loaded (iHeaderSize bytes), so that header bytes
  // beyond the fields above are written back; empty for new items.
  Bytes sHeaderData;
};

// The data object that follows a playlist item (an order entry, type 100,
// or in podcast groups a title object). sAllMHOD holds every child object of
// the item as loaded; it is empty for new entries and for items that have
// no child.
struct MHOD_POE {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotalSize = 0;
  int32_t iType = 0;
  int32_t iUnk1 = 0;
  int32_t iUnk2 = 0;
  int32_t iPosition = 0;
  FixedBytes<16> sUnk3;  // 16 bytes
  Bytes sAllMHOD;
};

// One playlist ("mhyp").
struct MHYP {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotlaSize = 0;
  int32_t iChildsCount = 0;
  int32_t iPlaylistItemsCount = 0;
  uint8_t iIsMasterFLag = 0;
  FixedBytes<3> sUnk1;  // 3 bytes
  FixedBytes<4> sTimeStamp;
  FixedBytes<8> sPerPlayListID;  // 8 bytes
  int32_t iUnk2 = 0;
  int16_t iMHODCount = 0;
  int16_t iPodCastFlag = 0;
  int32_t iListSortOrder = 0;
  Bytes sAllData;
  MHOD_S m_mhod_s;
  std::vector<MHOD_PCD> m_mhod_pcd;
  std::vector<MHIP> m_mhip;
  std::vector<MHOD_POE> m_mhod_poe;
  int32_t iMHYPs2Delete = 0;  // not in the file
};

// Playlist list ("mhlp").
struct MHLP {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iNumberOfPlaylists = 0;
  Bytes sHeaderData;
  std::vector<MHYP> m_mhyp;
};

// Section ("mhsd") of type 1: the tracks.
struct MHSD_T {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotalSize = 0;
  int32_t iType = 0;
  Bytes sHeaderData;
  Bytes sAllData;
  MHLT m_mhlt;
};

// Section of type 2 (playlists) or 3 (podcasts).
struct MHSD_P {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotalSize = 0;
  int32_t iType = 0;
  Bytes sHeaderData;
  Bytes sAllData;
  MHLP m_mhlp;
};

// Sections kept as one image: type 4 (MHSD_A), type 5 (MHSD_NP), and MHSD_C
// (same fields, filled by no operation).
struct MHSD_A {
  FixedBytes<4> sID;
  int32_t iHeaderSize = 0;
  int32_t iTotalSize = 0;
  int32_t iType = 0;
  Bytes sHeaderData;
  Bytes sAllData;
};
using MHSD_NP = MHSD_A;
using MHSD_C = MHSD_A;

// The caller-facing description of one track. Text is UTF-8.
struct TrackInfo {
  std::string sTitle;
  std::string sAlbum;
  std::string sArtist;
  std::string sComposer;
  std::string sGenre;
  std::string sYear;
  std::string sComment;
  std::string sFiletype;
  std::string sLocation;
  std::string sVolume;
  int32_t iFileSize = 0;
  int32_t iTrackTimLength = 0;
  int32_t iType = 0;
  int32_t iBitrateInKbs = 0;
  int32_t iSampleRateInHz = 0;
  int32_t iStartTime = 0;
  int32_t iStopTime = 0;
  uint8_t iSkipWhenShuffle = 0;
  uint8_t iRememberPlayBackPos = 0;
  uint8_t IsMovie = 0;
  uint8_t IsVBR = 0;
  int32_t iPlayCount = 0;
  std::string sTrackType;
  int32_t iTrackID = 0;
  std::string sVideoCodec;
  std::string sAudioCodec;
  bool isFileSupported = false;
};

}  // namespace cadenza

#endif  // CADENZA_RECORDS_H_
