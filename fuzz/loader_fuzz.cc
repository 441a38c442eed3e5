// Fuzz target for the database loader and writer: any bytes must load or
// fail cleanly, a database that loads must write or fail cleanly, and what
// was written must load or fail cleanly in turn. (Crafted chunks can
// overlap, and the writer lays later chunks over earlier ones as the file
// format's positions say, so the output of a crafted file need not be a
// fixed point.)
#include <cstddef>
#include <cstdint>
#include <string>

#include "db/loader.h"
#include "db/writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cadenza;
  Database db;
  if (!LoadDatabase(Bytes(std::string(reinterpret_cast<const char*>(data), size)), db).ok())
    return 0;
  std::string first;
  WriteStage stage;
  if (!BuildDatabaseImage(db, &first, &stage).ok()) return 0;
  Database again;
  if (!LoadDatabase(Bytes(first), again).ok()) return 0;
  std::string second;
  BuildDatabaseImage(again, &second, &stage);
  return 0;
}
