#include "db/codec.h"

namespace cadenza {

namespace {
template <typename U>
std::string PackLE(U v, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}
}  // namespace

std::string PackLong(int32_t v) { return PackLE(static_cast<uint32_t>(v), 4); }
std::string PackInteger(int16_t v) { return PackLE(static_cast<uint16_t>(v), 2); }
std::string PackByte(uint8_t v) { return std::string(1, static_cast<char>(v)); }
std::string PackCurrency(uint64_t v) { return PackLE(v, 8); }

}  // namespace cadenza
