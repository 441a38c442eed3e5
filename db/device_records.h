// The files the iPod writes itself, for a computer to collect: the plays,
// ratings and skips made on the device ("Play Counts"; "iTunesStats" on
// shuffles) and the On-The-Go playlists made on it ("OTGPlaylistInfo",
// "OTGPlaylistInfo_1", ...). Entries refer to tracks by their position in
// the track list (or, for iTunesStats, in the shuffle's iTunesSD) that the
// iPod last read, so they are only valid until the database is written.
#ifndef CADENZA_DB_DEVICE_RECORDS_H_
#define CADENZA_DB_DEVICE_RECORDS_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "cadenza/status.h"

namespace cadenza {

// What the device recorded for one track since the last merge. Times are
// the device's own (seconds since 1904), 0 when none.
struct PlayRecord {
  uint32_t plays = 0;
  uint32_t last_played = 0;
  uint32_t bookmark_ms = 0;  // 0: none
  int32_t rating = -1;       // 0 to 100; -1 when the entry carries none
  uint32_t skips = 0;
  uint32_t last_skipped = 0;
};

// "Play Counts": a 'mhdp' header (header length, entry length, entry
// count), then one entry per track. Entries of 12 bytes carry plays, last
// played and bookmark; 16 add the rating; 28 add skips and last skipped.
// kCorrupt for a wrong header, an entry length below 12, or a file shorter
// than its entries.
Status ParsePlayCounts(std::string_view file, std::vector<PlayRecord>* out);

// "iTunesStats" of a shuffle, in either generation's layout: 1st/2nd
// generation (a 3-byte count, 18-byte entries of 3-byte little-endian
// numbers; bookmarks in units of 256 ms) or 3rd/4th (a 4-byte count,
// 32-byte entries of 4-byte numbers with play and skip times).
Status ParseShuffleStats(std::string_view file, std::vector<PlayRecord>* out);

// An On-The-Go playlist: a 'mhpo' header (header length, entry count),
// then one 4-byte track position per entry.
Status ParseOnTheGoList(std::string_view file, std::vector<uint32_t>* out);

}  // namespace cadenza

#endif  // CADENZA_DB_DEVICE_RECORDS_H_
