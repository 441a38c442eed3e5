// Cover images: decoding a JPEG or PNG into 8-bit RGB, and the description of
// one of the device's artwork formats.
//
// The decoders are the system's own: libjpeg-turbo and libpng on Linux
// (image_decode.cc), the Windows Imaging Component on Windows (image_wic.cc).
// What both share (size limits, the EXIF orientation of a JPEG and turning
// the pixels accordingly) is in image.cc.
#ifndef CADENZA_PLATFORM_IMAGE_H_
#define CADENZA_PLATFORM_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cadenza/status.h"

namespace cadenza {

// 8-bit RGB, rows top to bottom, no padding: rgb.size() == width * height * 3.
// Transparent pixels are flattened onto black (the default background of the
// artwork formats), so a transparent area looks like the padding around it.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// One artwork format of a device. It lives here, below both media/ (which
// renders into it) and device/ (which finds a device's formats), as neither
// of those may include the other.
struct ArtworkFormat {
  int32_t id = 0;                // the format id, as in F<id>_1.ithmb
  int32_t width = 0;             // the slot, in pixels
  int32_t height = 0;
  int32_t align_row_bytes = 0;   // rows padded to a multiple of this (0, 1: none)
  uint32_t back_color = 0;       // 0xRRGGBB behind a fitted image
  bool crop = false;             // fill the slot and trim, instead of fitting
};

// Larger images are refused before any pixel is decoded: a side above
// kMaxImageSide, or an RGB buffer above kMaxImageBytes (about 44 megapixels).
inline constexpr int kMaxImageSide = 8192;
inline constexpr size_t kMaxImageBytes = size_t{128} << 20;

// Decodes a JPEG (turned upright by the Orientation tag of its EXIF block)
// or a PNG (any colour type and depth, interlaced or not). Errors:
// kUnsupported for other formats, kInvalid for images over the limits,
// kCorrupt for damaged or truncated data. `out` is replaced only on success.
Status DecodeImage(std::string_view bytes, Image* out);

// Encodes `image` as an 8-bit RGB PNG. kInvalid for an empty image or one
// whose pixel buffer does not match its size.
Status EncodePng(const Image& image, std::string* out);

// ---- Shared by the decoders of every system ----

// OK, or kInvalid naming the size, when a width × height image may be decoded.
Status CheckImageSize(int64_t width, int64_t height);

// The EXIF Orientation (1..8) of a JPEG's APP1 block; 1 when there is none
// or it is damaged.
int JpegExifOrientation(std::string_view jpeg);

// Turns `image` upright for the EXIF orientation `orientation` (2..8
// mirror and/or rotate; anything else leaves the image as it is).
void ApplyExifOrientation(int orientation, Image* image);

}  // namespace cadenza

#endif  // CADENZA_PLATFORM_IMAGE_H_
