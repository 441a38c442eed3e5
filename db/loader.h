// The database loader: decodes a whole database file into a Database.
//
// Every chunk is found from the sizes stored in the chunk before it, every
// read is checked against the end of the buffer, and every chunk must move
// the position forward, so a damaged or crafted file ends in a kCorrupt
// status instead of a crash, a hang or runaway memory.
#ifndef CADENZA_DB_LOADER_H_
#define CADENZA_DB_LOADER_H_

#include <cstdint>

#include "cadenza/database.h"
#include "cadenza/status.h"

namespace cadenza {

// Decodes `file` into `db`, which should be empty. The records' images and
// texts are views into `file`. On failure `db` holds what was decoded
// before the failure.
Status LoadDatabase(Bytes file, Database& db);

// Whether a data object is laid out as text: a 40-byte header followed by
// exactly iLength bytes of UTF-16 (an even count).
bool IsTextObject(int32_t total_size, int32_t length);

}  // namespace cadenza

#endif  // CADENZA_DB_LOADER_H_
