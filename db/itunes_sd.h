// The iPod shuffle's own database, iTunesSD: the file a shuffle of the 1st
// to 4th generation plays from (it does not read the iTunesDB).
//
// Two layouts exist (doc/shuffle.md describes both, field by field):
//  - kFixedRecords (1st and 2nd generation): big-endian 3-byte numbers, an
//    18-byte header and one 558-byte record per track, the path as UTF-16LE.
//  - kBdhs (3rd and 4th generation): little-endian chunks "bdhs" (header),
//    "hths" (track offsets), "rths" (one per track), "hphs" (playlist
//    offsets) and "lphs" (one per playlist, with track indexes).
#ifndef CADENZA_DB_ITUNES_SD_H_
#define CADENZA_DB_ITUNES_SD_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cadenza/database.h"
#include "cadenza/status.h"

namespace cadenza {

enum class ShuffleFormat { kFixedRecords, kBdhs };

// File type codes of both layouts.
inline constexpr int32_t kShuffleMp3 = 1;
inline constexpr int32_t kShuffleAac = 2;
inline constexpr int32_t kShuffleWav = 4;

// Playlist types of the bdhs layout.
inline constexpr int32_t kShuffleMasterPlaylist = 1;
inline constexpr int32_t kShuffleNormalPlaylist = 2;
inline constexpr int32_t kShufflePodcastPlaylist = 3;
inline constexpr int32_t kShuffleAudiobookPlaylist = 4;

// Longest path a track record holds: the fixed records hold 260 UTF-16 code
// units, the bdhs records 255 UTF-8 bytes (the rest of the slot keeps at
// least one terminating zero).
inline constexpr size_t kShuffleFixedPathUnits = 260;
inline constexpr size_t kShuffleBdhsPathBytes = 255;

// The format of an existing iTunesSD image ("bdhs" at the start: kBdhs;
// else kFixedRecords).
ShuffleFormat DetectShuffleFormat(std::string_view image);

// Builds the complete iTunesSD image for the live tracks of `db` in database
// track order: every track that is not deleted and has a location. For
// kBdhs also the master playlist (all those tracks) and the database's other
// playlists that are neither smart nor podcast lists, with their items
// (items of deleted or absent tracks are skipped, playlists left empty are
// left out). A track that cannot be represented (a path too long for its
// slot, a file type the shuffle does not play) is left out and described in
// *left_out when it is given; without it the build fails with kInvalid.
Status BuildShuffleDatabase(const Database& db, ShuffleFormat format, std::string* image,
                            std::vector<std::string>* left_out = nullptr);

// One track of an iTunesSD.
struct ShuffleEntry {
  std::string path;       // UTF-8 with "/" separators: "/iPod_Control/Music/F00/X.mp3"
  int32_t file_type = 0;  // kShuffleMp3, kShuffleAac or kShuffleWav
  // Play from / to, in ms (0: the file's start / end). The fixed records
  // count 256 ms steps, so their times are multiples of 256.
  int32_t start_ms = 0;
  int32_t stop_ms = 0;
  // As stored: fixed records 0..200 (100: unchanged); bdhs -255..255 (the
  // database's own scale, 0: unchanged).
  int32_t volume = 0;
  bool shuffle = true;    // played when shuffling
  bool bookmark = false;  // remembers its playback position
  // Fields only the bdhs records hold (0 in the fixed records).
  int32_t bookmark_ms = 0;
  int32_t track_number = 0;
  int32_t disc_number = 0;
  int32_t album_id = 0;
  uint64_t db_id = 0;  // the track's database id (names its voice-over file)
  // Gapless playback: silence before and after the audio in samples, the
  // number of samples, and the database's gapless data value.
  int32_t pre_gap = 0;
  int32_t post_gap = 0;
  int32_t sample_count = 0;
  int32_t gapless_data = 0;
};

struct ShufflePlaylist {
  int32_t type = 0;              // kShuffleMasterPlaylist, kShuffleNormalPlaylist, ...
  uint64_t db_id = 0;            // the playlist's id; 0 for the master playlist
  std::vector<uint32_t> tracks;  // indexes into ShuffleContents::tracks
};

// What an iTunesSD holds. The fixed records have no playlists.
struct ShuffleContents {
  ShuffleFormat format = ShuffleFormat::kFixedRecords;
  uint32_t version = 0;  // the header's version number
  std::vector<ShuffleEntry> tracks;
  std::vector<ShufflePlaylist> playlists;
};

// Reads an iTunesSD image. Every read is bounds-checked: a damaged or
// truncated image gives kCorrupt.
Status ReadShuffleDatabase(std::string_view image, ShuffleContents* out);

}  // namespace cadenza

#endif  // CADENZA_DB_ITUNES_SD_H_
