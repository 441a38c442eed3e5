// Fuzz target for cover images: any bytes must decode or fail cleanly within
// the size limits, and a decoded image must render into a fitted format and
// a cropping one with padded rows, each filling exactly its slot.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "media/artwork_render.h"
#include "platform/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cadenza;
  Image image;
  if (!DecodeImage(std::string_view(reinterpret_cast<const char*>(data), size), &image).ok())
    return 0;
  if (image.width <= 0 || image.height <= 0 || image.width > kMaxImageSide ||
      image.height > kMaxImageSide ||
      image.rgb.size() != static_cast<size_t>(image.width) * image.height * 3)
    std::abort();
  const ArtworkFormat formats[] = {
      {.id = 1028, .width = 320, .height = 320, .back_color = 0x102030},
      {.id = 1017, .width = 55, .height = 55, .align_row_bytes = 4, .crop = true},
  };
  for (const ArtworkFormat& format : formats) {
    RenderedArtwork art;
    if (!RenderArtwork(image, format, &art).ok() ||
        art.pixels.size() != static_cast<size_t>(RowBytes(format) * format.height))
      std::abort();
  }
  return 0;
}
