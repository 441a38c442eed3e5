// ID3 tag reader: the 128-byte ID3v1 tag at the end of a file and ID3v2 tags
// (major versions 2, 3 and 4) at its start or behind an ID3v2.4 footer at its
// end. Text comes back as UTF-8.
#ifndef CADENZA_MEDIA_ID3_H_
#define CADENZA_MEDIA_ID3_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "cadenza/tags.h"
#include "platform/file.h"

namespace cadenza {

struct ID3TagInfo {
  std::string sArtist;
  std::string sAlbum;
  std::string sTitle;
  std::string sYear;
  std::string sGenre;
  std::string sComment;
  std::string sTrack;
  std::string sEncodedBy;
  std::string sURL;
  std::string sRightsNotice;
  std::string sComposer;
  std::string sOriginalArtist;
};

// Sets all twelve fields to the empty string.
void ClearTagInfo(ID3TagInfo& tag);

// Reads the ID3v1(.1) tag in the last 128 bytes of the file. False (and the
// record untouched) when the file cannot be opened, is shorter than 128
// bytes or has no "TAG" there.
bool ReadID3v1Tag(const std::string& sFilePath, ID3TagInfo& tag);

// Reads the ID3v2 tag at the start of the file (following SEEK frames to
// further tags) or, failing that, the one announced by a "3DI" footer at the
// end. True when a tag header was found, also one of an unknown version.
bool ReadID3v2Tag(const std::string& sFilePath, ID3TagInfo& tag);

// Parses the tag whose 10-byte header is at `iOffset` of `file` into `tag`.
// Returns the file offset of a further tag announced by a SEEK frame, or -1.
int64_t ParseID3v2Tag(const RandomAccessFile& file, int64_t iOffset,
                      ID3TagInfo& tag);

// One frame of an ID3v2 tag as ForEachID3v2Frame hands it over; valid only
// during the call.
struct ID3v2Frame {
  std::string_view id;  // three characters in a version 2.2 tag, four otherwise
  // The body with unsynchronisation undone and a group byte or data length
  // in front of it left out.
  const uint8_t* data = nullptr;
  int64_t size = 0;
  bool opaque = false;  // compressed or encrypted: no body is given
};

// Hands each frame of the tag whose header is at `iOffset` to `fn`, in the
// order of the tag, SEEK frames left out and not followed. False when no tag
// of version 2 to 4 can be read there. `piVersion` receives the major
// version before the first frame is handed over, `piEnd` the offset just past the tag (and its
// footer) as its header announces it, which may lie beyond the end of the file.
bool ForEachID3v2Frame(const RandomAccessFile& file, int64_t iOffset,
                       const std::function<void(const ID3v2Frame&)>& fn, int* piVersion = nullptr,
                       int64_t* piEnd = nullptr);

// The description of a COMM (version 2.2: COM) frame body, as UTF-8.
std::string CommentDescription(const uint8_t* body, int64_t iLength);

// Reads every field of `out` from the file's ID3v2 tags (found as
// ReadID3v2Tag finds them), taking title, artist, album, year, comment,
// genre and track number from the ID3v1 tag where those lack them. Of
// several comments the one without a description wins, else the first.
// Line breaks are line feeds (the ID3v2 text keeps no carriage return).
// Years keep their first four characters; "n/N" numbers and tempos their
// leading digits. False (and `out` cleared) when the file has neither tag.
bool ReadID3Tags(const std::string& path, Tags* out);

// The text of one frame body (`iLength` bytes at `body`) for the frame id.
std::string DecodeFrameText(const uint8_t* body, std::string_view sFrameID,
                            int64_t iLength);

// True when each of the four bytes is 'A'-'Z', '0'-'9' or 0x00.
bool IsValidFrameID(const uint8_t* p);

// Removes the 0x00 of every 0xFF 0x00 pair in place; returns the number of
// bytes removed. The last that-many bytes keep their old contents.
int64_t UndoUnsynchronisation(uint8_t* p, int64_t iLength);

// Reads four bytes as a number. With `bSyncSafe` and no byte having bit 7
// set, as a 28-bit sync-safe number; otherwise as a 32-bit big-endian one.
// A big-endian value of 0x80000000 or more does not fit the result: then
// the result is 0 and *pbOverflow (when given) is set to true; otherwise
// *pbOverflow is set to false.
int32_t ReadTagInteger(const uint8_t* p, bool bSyncSafe,
                       bool* pbOverflow = nullptr);

// Decodes tag text to UTF-8. Encoding 0 is Windows-1252, 1 UTF-16 with a
// byte-order mark (little-endian when there is none), 2 UTF-16 big-endian,
// 3 UTF-8; any other encoding gives the empty string. A line feed becomes
// carriage return plus line feed and a carriage return is dropped. With
// `bStopAtZero` the text ends at the first zero character (a zero code unit
// for UTF-16).
std::string BytesToText(const uint8_t* p, int64_t iLength, int iEncoding,
                        bool bStopAtZero);

// Resolves the "(n)" genre references of a TCON text: "(17)" and "(17)Rock"
// give "Rock", "(RX)" "Remix", "(CR)" "Cover"; other texts stay unchanged.
std::string ResolveGenreText(const std::string& sGenre);

// The name of genre `iGenre` (0 to 147); empty outside that range.
std::string GenreName(int32_t iGenre);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_ID3_H_
