#include "device/artwork_formats.h"

#include <charconv>
#include <map>

#include "platform/fs.h"
#include "platform/plist.h"

namespace cadenza {
namespace {

constexpr size_t kMaxSysInfoExtendedSize = 1 << 20;
constexpr const char* kSysInfoExtendedRel = "iPod_Control\\Device\\SysInfoExtended";
// 'L565': RGB565, little-endian.
constexpr uint64_t kPixelFormatRgb565Le = 0x4C353635;
constexpr uint64_t kMaxSide = 4096;
constexpr uint64_t kMaxAlignment = 256;

ArtworkFormat Square(int32_t id, int32_t side) { return {id, side, side, 0, 0, false}; }

std::string_view SkipSpace(std::string_view s) {
  const size_t at = s.find_first_not_of(" \t\r\n");
  return at == std::string_view::npos ? std::string_view() : s.substr(at);
}

// Replaces every `from` in `s` with `to`.
void ReplaceAll(std::string* s, std::string_view from, std::string_view to) {
  for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size()))
    s->replace(at, from.size(), to);
}

// The length of the <dict> element that `s` starts with, nested ones
// included; 0 when it does not end.
size_t DictLength(std::string_view s) {
  constexpr std::string_view kOpen = "<dict>";
  constexpr std::string_view kClose = "</dict>";
  size_t depth = 0;
  size_t at = 0;
  while (at < s.size()) {
    const size_t open = s.find(kOpen, at);
    const size_t close = s.find(kClose, at);
    if (close == std::string_view::npos) return 0;
    if (open < close) {
      ++depth;
      at = open + kOpen.size();
    } else {
      at = close + kClose.size();
      if (--depth == 0) return at;
    }
  }
  return 0;
}

// Text of 1 to 16 hex digits as a number; UINT64_MAX otherwise.
uint64_t HexValue(std::string_view text) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 16);
  return text.empty() || text.size() > 16 || ec != std::errc() || ptr != end ? UINT64_MAX : value;
}

// One entry of the array, read as a property list of its own. The property
// list reader gives integers and strings, so true and false become 1 and 0.
bool ReadEntry(std::string_view dict, ArtworkFormat* out) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  xml.append(dict);
  xml += "</plist>";
  ReplaceAll(&xml, "<true/>", "<integer>1</integer>");
  ReplaceAll(&xml, "<false/>", "<integer>0</integer>");
  std::map<std::string, plist::Value> values;
  if (plist::ParseDictionary(xml, &values) != plist::ParseResult::kOk) return false;
  // A missing key gives `fallback`, a value that is no number UINT64_MAX.
  // The pixel format and the colour are also accepted as hex text.
  auto integer = [&](const char* key, uint64_t fallback, bool hex_text = false) {
    auto v = values.find(key);
    if (v == values.end()) return fallback;
    if (v->second.kind == plist::Value::Kind::kInteger) return v->second.integer;
    return hex_text && v->second.kind == plist::Value::Kind::kString ? HexValue(v->second.text)
                                                                      : UINT64_MAX;
  };
  const uint64_t id = integer("FormatId", 0);
  const uint64_t width = integer("RenderWidth", 0);
  const uint64_t height = integer("RenderHeight", 0);
  const uint64_t align = integer("AlignRowBytes", 0);
  if (id == 0 || id > INT32_MAX || width == 0 || width > kMaxSide || height == 0 ||
      height > kMaxSide || align > kMaxAlignment ||
      integer("PixelFormat", kPixelFormatRgb565Le, true) != kPixelFormatRgb565Le) {
    return false;
  }
  out->id = static_cast<int32_t>(id);
  out->width = static_cast<int32_t>(width);
  out->height = static_cast<int32_t>(height);
  // A true AlignRowBytes (as libgpod reads it) pads each row to 4 bytes; a
  // larger number names the alignment itself.
  out->align_row_bytes = align == 1 ? 4 : static_cast<int32_t>(align);
  const uint64_t back = integer("BackColor", 0, true);
  out->back_color = back == UINT64_MAX ? 0 : static_cast<uint32_t>(back & 0xFFFFFF);
  const uint64_t crop = integer("Crop", 0);
  out->crop = crop != 0 && crop != UINT64_MAX;
  return true;
}

}  // namespace

std::vector<ArtworkFormat> ArtworkFormatsFromSysInfoExtended(std::string_view xml) {
  std::vector<ArtworkFormat> formats;
  constexpr std::string_view kKey = "<key>AlbumArt</key>";
  const size_t key = xml.find(kKey);
  if (key == std::string_view::npos) return formats;
  std::string_view rest = SkipSpace(xml.substr(key + kKey.size()));
  if (rest.substr(0, 7) != "<array>") return formats;
  rest = SkipSpace(rest.substr(7));
  while (!rest.empty() && rest.substr(0, 8) != "</array>") {
    if (rest.substr(0, 5) == "<key>") {  // not valid in an array, but found there
      const size_t end = rest.find("</key>");
      if (end == std::string_view::npos) break;
      rest = SkipSpace(rest.substr(end + 6));
    } else if (rest.substr(0, 6) == "<dict>") {
      const size_t length = DictLength(rest);
      if (length == 0) break;
      ArtworkFormat format;
      if (ReadEntry(rest.substr(0, length), &format)) formats.push_back(format);
      rest = SkipSpace(rest.substr(length));
    } else {
      break;
    }
  }
  return formats;
}

std::vector<ArtworkFormat> ArtworkFormatsForModel(std::string_view family,
                                                  std::string_view generation) {
  if (family == "iPod photo") return {Square(1017, 56), Square(1016, 140)};
  if (family == "iPod video") return {Square(1028, 100), Square(1029, 200)};
  if (family == "iPod classic" || (family == "iPod nano" && generation == "3G"))
    return {Square(1061, 56), Square(1055, 128), Square(1068, 128), Square(1060, 320)};
  if (family == "iPod nano" && (generation == "1G" || generation == "2G"))
    return {Square(1031, 42), Square(1027, 100)};
  if (family == "iPod nano" && generation == "4G") {
    return {Square(1055, 128), Square(1068, 128), Square(1071, 240),
            Square(1084, 240), Square(1074, 50),  Square(1078, 80)};
  }
  return {};
}

std::vector<ArtworkFormat> ArtworkFormatsFor(const std::string& root, const DeviceInfo& info) {
  std::string text;
  if (fs::ReadFileUpTo(fs::DevicePath(root, kSysInfoExtendedRel), kMaxSysInfoExtendedSize, &text)
          .ok()) {
    std::vector<ArtworkFormat> own = ArtworkFormatsFromSysInfoExtended(text);
    if (!own.empty()) return own;
  }
  return ArtworkFormatsForModel(info.family, info.generation);
}

}  // namespace cadenza
