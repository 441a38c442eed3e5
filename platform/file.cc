// What reading a file at a position does the same on every system.
#include "platform/file.h"

namespace cadenza {

std::string RandomAccessFile::ReadAt(int64_t offset, size_t n) const {
  std::string out(n, '\0');
  int64_t r = ReadAt(offset, out.data(), n);
  out.resize(r < 0 ? 0 : static_cast<size_t>(r));
  return out;
}

}  // namespace cadenza
