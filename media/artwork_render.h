// Rendering a decoded cover into one artwork format's slot: scaled to fit
// (or, for a cropping format, to fill and trimmed), centred on the format's
// background colour, and packed as RGB565 little-endian rows.
#ifndef CADENZA_MEDIA_ARTWORK_RENDER_H_
#define CADENZA_MEDIA_ARTWORK_RENDER_H_

#include <cstdint>
#include <vector>

#include "cadenza/status.h"
#include "platform/image.h"

namespace cadenza {

struct RenderedArtwork {
  // The slot: RowBytes(format) × format.height bytes.
  std::vector<uint8_t> pixels;
  // What the image record of the artwork database stores: the padding above
  // and to the left of the picture, and pad + picture size. A fitted 2:1
  // cover in a 320×320 slot gives 80, 0, 240, 320.
  int16_t vertical_pad = 0;
  int16_t horizontal_pad = 0;
  int16_t height = 0;
  int16_t width = 0;
  // The size of the picture itself inside the slot.
  int32_t scaled_width = 0;
  int32_t scaled_height = 0;
};

// Bytes per row of a format's slot: width × 2 rounded up to the alignment.
int64_t RowBytes(const ArtworkFormat& format);

// Renders `image` into `format`. Downscaling averages the source area each
// pixel covers; upscaling interpolates linearly. Each 8-bit channel is
// truncated to 5 or 6 bits. kInvalid for an empty image or a format whose
// size is not 1..4096 pixels a side.
Status RenderArtwork(const Image& image, const ArtworkFormat& format, RenderedArtwork* out);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_ARTWORK_RENDER_H_
