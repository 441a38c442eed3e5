// The parts of image decoding that every system shares: size limits, the
// EXIF orientation of a JPEG, and turning pixels upright.
#include "platform/image.h"

#include <string>
#include <utility>

namespace cadenza {
namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kTypeShort = 3;

uint16_t Read16(std::string_view b, size_t at, bool little) {
  const auto lo = static_cast<uint8_t>(b[little ? at : at + 1]);
  const auto hi = static_cast<uint8_t>(b[little ? at + 1 : at]);
  return static_cast<uint16_t>(hi << 8 | lo);
}

uint32_t Read32(std::string_view b, size_t at, bool little) {
  const uint32_t first = Read16(b, at, little);
  const uint32_t second = Read16(b, at + 2, little);
  return little ? (second << 16 | first) : (first << 16 | second);
}

// The Orientation of the first IFD of a TIFF block ("II*\0" or "MM\0*"), or 1.
int TiffOrientation(std::string_view tiff) {
  if (tiff.size() < 8) return 1;
  bool little = false;
  if (tiff.substr(0, 4) == std::string_view("II*\0", 4)) {
    little = true;
  } else if (tiff.substr(0, 4) != std::string_view("MM\0*", 4)) {
    return 1;
  }
  const uint32_t ifd = Read32(tiff, 4, little);
  if (ifd > tiff.size() - 2) return 1;
  const uint16_t count = Read16(tiff, ifd, little);
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = ifd + 2 + i * 12;
    if (entry + 12 > tiff.size()) return 1;
    if (Read16(tiff, entry, little) != kOrientationTag) continue;
    if (Read16(tiff, entry + 2, little) != kTypeShort) return 1;
    const uint16_t value = Read16(tiff, entry + 8, little);
    return value >= 1 && value <= 8 ? value : 1;
  }
  return 1;
}

}  // namespace

Status CheckImageSize(int64_t width, int64_t height) {
  const std::string size = std::to_string(width) + "×" + std::to_string(height);
  if (width <= 0 || height <= 0) return Status::Corrupt("The image claims a size of " + size + ".");
  if (width > kMaxImageSide || height > kMaxImageSide ||
      static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3 > kMaxImageBytes) {
    return Status::Invalid("The image is " + size + " pixels; covers larger than " +
                           std::to_string(kMaxImageSide) + " pixels a side or " +
                           std::to_string(kMaxImageBytes / 3 / 1000000) +
                           " megapixels are refused.");
  }
  return Status::OK();
}

int JpegExifOrientation(std::string_view jpeg) {
  if (jpeg.size() < 4 || static_cast<uint8_t>(jpeg[0]) != 0xFF ||
      static_cast<uint8_t>(jpeg[1]) != 0xD8) {
    return 1;
  }
  size_t at = 2;
  // Markers with a length up to the start of the scan; EXIF sits among them.
  while (at + 4 <= jpeg.size()) {
    if (static_cast<uint8_t>(jpeg[at]) != 0xFF) return 1;
    const auto marker = static_cast<uint8_t>(jpeg[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return 1;  // start of scan, end of image
    const size_t length = Read16(jpeg, at + 2, false);
    if (length < 2 || at + 2 + length > jpeg.size()) return 1;
    const std::string_view body = jpeg.substr(at + 4, length - 2);
    if (marker == 0xE1 && body.size() > 6 && body.substr(0, 6) == std::string_view("Exif\0\0", 6))
      return TiffOrientation(body.substr(6));
    at += 2 + length;
  }
  return 1;
}

void ApplyExifOrientation(int orientation, Image* image) {
  if (orientation < 2 || orientation > 8) return;
  const size_t w = static_cast<size_t>(image->width);
  const size_t h = static_cast<size_t>(image->height);
  const bool swap = orientation >= 5;
  const size_t out_w = swap ? h : w;
  const size_t out_h = swap ? w : h;
  std::vector<uint8_t> out(image->rgb.size());
  for (size_t y = 0; y < out_h; ++y) {
    for (size_t x = 0; x < out_w; ++x) {
      size_t sx = x;
      size_t sy = y;
      switch (orientation) {
        case 2: sx = w - 1 - x; break;
        case 3: sx = w - 1 - x; sy = h - 1 - y; break;
        case 4: sy = h - 1 - y; break;
        case 5: sx = y; sy = x; break;
        case 6: sx = y; sy = h - 1 - x; break;
        case 7: sx = w - 1 - y; sy = h - 1 - x; break;
        default: sx = w - 1 - y; sy = x; break;  // 8
      }
      const size_t from = (sy * w + sx) * 3;
      const size_t to = (y * out_w + x) * 3;
      out[to] = image->rgb[from];
      out[to + 1] = image->rgb[from + 1];
      out[to + 2] = image->rgb[from + 2];
    }
  }
  image->rgb = std::move(out);
  image->width = static_cast<int>(out_w);
  image->height = static_cast<int>(out_h);
}

}  // namespace cadenza
