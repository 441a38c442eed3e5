// The database writer: builds the complete image of a database file from a
// Database, in memory. Storing it on the device (beside the old file, then
// swapped in) is the caller's business, so a failure anywhere leaves the
// device's file untouched.
#ifndef CADENZA_DB_WRITER_H_
#define CADENZA_DB_WRITER_H_

#include <string>

#include "cadenza/database.h"
#include "cadenza/status.h"

namespace cadenza {

// Which part of a write failed.
enum class WriteStage { kNone, kHeader, kTrackList, kPlaylists };

// Builds the file image: the header image, the track section, the podcast
// section, the playlist section, the sections of types 4 and 5, the sections
// of other types and the trailing bytes as loaded, and finally the real
// length in the header's total-size field. On failure returns the error and
// sets *stage.
Status BuildDatabaseImage(const Database& db, std::string* image, WriteStage* stage);

}  // namespace cadenza

#endif  // CADENZA_DB_WRITER_H_
