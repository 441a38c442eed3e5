#include "component/track_text.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "db/codec.h"
#include "platform/text.h"

namespace cadenza {

std::u16string ToObjectText(std::string_view utf8, size_t max_units) {
  std::u16string s = Utf8ToUtf16(utf8);
  if (s.size() > max_units) {
    size_t n = max_units;
    if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
    s.resize(n);
  }
  return s;
}

std::string TrackText(const MHIT& t, DataObjectType type) {
  const size_t n = std::min<size_t>(t.m_mhod.size(), static_cast<size_t>(std::max(t.iNumberOfMHODS, 0)));
  for (size_t i = 0; i < n; ++i) {
    const MHOD_S& o = t.m_mhod[i];
    if (o.iType == static_cast<int32_t>(type) && IsText(o)) return Utf16ToUtf8(o.sString.u16());
  }
  return {};
}

void CompleteTextObject(MHOD_S& o) {
  o.sID = "mhod";
  o.iHeaderSize = 24;
  o.iPosition = 1;
  o.iUnk3 = 1;
  o.iLength = static_cast<int32_t>(2 * o.sString.size());
  o.iTotalSize = o.iLength + 40;
}

std::string YearField(std::string_view text) {
  int64_t v = 0;
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > 0x7FFFFFFF) {
      v = 0;
      break;
    }
  }
  return PackLong(static_cast<int32_t>(v));
}

std::string YearText(std::string_view field) {
  if (field.size() < 4) return {};
  int32_t v = static_cast<int32_t>(LoadLE32(field.data()));
  return v == 0 ? std::string() : std::to_string(v);
}

bool SampleRateFields(int32_t hz, int32_t* scaled, int32_t* as_float) {
  if (hz < 0 || hz >= 65536) return false;
  *scaled = static_cast<int32_t>(static_cast<uint32_t>(hz) << 16);
  *as_float = std::bit_cast<int32_t>(static_cast<float>(hz));
  return true;
}

namespace {
constexpr int64_t kMacEpochOffset = 2082844800;  // 1904-01-01 to 1970-01-01, in seconds
}  // namespace

std::string MacTimeField(int64_t unix_seconds) {
  const auto v = static_cast<uint32_t>(
      std::clamp<int64_t>(unix_seconds + kMacEpochOffset, 0, 0xFFFFFFFF));
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

int64_t UnixTime(std::string_view field) {
  if (field.size() < 4) return 0;
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(field[static_cast<size_t>(i)]);
  return v == 0 ? 0 : int64_t{v} - kMacEpochOffset;
}

}  // namespace cadenza
