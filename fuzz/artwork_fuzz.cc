// Fuzz target for the ArtworkDB loader and writer: any bytes must load or
// fail cleanly, a database that loads must write or fail cleanly, and what
// was written must load again and write the same bytes (the writer only
// recomputes sizes and counts, so its output is a fixed point).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "db/artwork_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cadenza;
  ArtworkDB db;
  if (!LoadArtworkDB(Bytes(std::string(reinterpret_cast<const char*>(data), size)), &db).ok())
    return 0;
  std::string first;
  if (!BuildArtworkDBImage(db, &first).ok()) return 0;
  ArtworkDB again;
  if (!LoadArtworkDB(Bytes(first), &again).ok()) std::abort();
  std::string second;
  if (!BuildArtworkDBImage(again, &second).ok() || second != first) std::abort();
  return 0;
}
