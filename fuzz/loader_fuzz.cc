// Fuzz target for the database loader: any bytes must load or fail cleanly,
// and a database that loads must write, and what is written must load and
// write again to the same bytes.
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
  if (!LoadDatabase(std::make_shared<const std::string>(first), again).ok()) std::abort();
  std::string second;
  if (!BuildDatabaseImage(again, &second, &stage).ok() || second != first) std::abort();
  return 0;
}
