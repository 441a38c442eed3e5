// Fuzz target for the database loader and writer: any bytes must load or
// fail cleanly, a database that loads must write or fail cleanly, and once
// written output loads, writing it again must give the same bytes.
// (Crafted chunks can overlap, so the first output need not load again.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "db/loader.h"
#include "db/writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cadenza;
  auto file = std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
  Database db;
  if (!LoadDatabase(file, db).ok()) return 0;
  std::string first;
  WriteStage stage;
  if (!BuildDatabaseImage(db, &first, &stage).ok()) return 0;
  Database again;
  if (!LoadDatabase(std::make_shared<const std::string>(first), again).ok()) return 0;
  std::string second;
  if (!BuildDatabaseImage(again, &second, &stage).ok() || second != first) std::abort();
  return 0;
}
