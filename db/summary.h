// The database header and the lengths of its lists, read from the chunk
// headers alone: a quick look at a large database that builds no records.
#ifndef CADENZA_DB_SUMMARY_H_
#define CADENZA_DB_SUMMARY_H_

#include "cadenza/library.h"
#include "cadenza/records.h"

namespace cadenza {

// Reads the summary of the database `file`. kCorrupt when a header the walk
// needs lies beyond the end, or the header's length is not the file's.
Status ReadDatabaseSummary(const Bytes& file, DatabaseSummary* out);

}  // namespace cadenza

#endif  // CADENZA_DB_SUMMARY_H_
