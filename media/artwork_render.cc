#include "media/artwork_render.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace cadenza {
namespace {

constexpr int32_t kMaxSlotSide = 4096;
constexpr int32_t kMaxAlignment = 256;

// The source pixels that make up each output pixel along one axis, and how
// much each counts (the weights of one output pixel add up to 1).
struct Taps {
  std::vector<size_t> first;   // per output pixel: its first source pixel
  std::vector<size_t> count;   // per output pixel: how many source pixels
  std::vector<size_t> offset;  // per output pixel: where its weights start
  std::vector<float> weights;
};

// Maps the source interval [start, start + span) onto `out_size` pixels.
// When an output pixel covers more than one source pixel, it is the average
// of the area it covers (a box filter); otherwise it is interpolated
// linearly between the two nearest source pixels.
Taps MakeTaps(size_t src_size, double start, double span, size_t out_size) {
  Taps t;
  t.first.resize(out_size);
  t.count.resize(out_size);
  t.offset.resize(out_size);
  const double step = span / static_cast<double>(out_size);
  const auto last = static_cast<double>(src_size - 1);
  for (size_t i = 0; i < out_size; ++i) {
    t.offset[i] = t.weights.size();
    const double a = start + static_cast<double>(i) * step;
    if (step > 1.0) {
      const double b = a + step;
      const double lo = std::clamp(std::floor(a), 0.0, last);
      const double hi = std::clamp(std::ceil(b) - 1.0, lo, last);
      const auto first = static_cast<size_t>(lo);
      for (size_t j = first; j <= static_cast<size_t>(hi); ++j) {
        const auto jd = static_cast<double>(j);
        const double w = std::min(b, jd + 1.0) - std::max(a, jd);
        t.weights.push_back(static_cast<float>(std::max(w, 0.0) / step));
      }
      t.first[i] = first;
    } else {
      const double centre = std::clamp(a + step / 2.0 - 0.5, 0.0, last);
      const double j0 = std::floor(centre);
      const auto f = static_cast<float>(centre - j0);
      t.first[i] = static_cast<size_t>(j0);
      t.weights.push_back(1.0F - f);
      if (j0 < last) t.weights.push_back(f);
    }
    t.count[i] = t.weights.size() - t.offset[i];
  }
  return t;
}

// A picture of out_w × out_h 8-bit RGB pixels resampled from the source
// rectangle (x0, y0, span_w, span_h) of `image`.
std::vector<uint8_t> Resample(const Image& image, double x0, double y0, double span_w,
                              double span_h, size_t out_w, size_t out_h) {
  const auto src_w = static_cast<size_t>(image.width);
  const Taps tx = MakeTaps(src_w, x0, span_w, out_w);
  const Taps ty = MakeTaps(static_cast<size_t>(image.height), y0, span_h, out_h);
  const size_t row_lo = ty.first.front();
  const size_t row_hi = ty.first.back() + ty.count.back();
  // Horizontal pass over the source rows the vertical pass uses.
  std::vector<float> rows((row_hi - row_lo) * out_w * 3);
  for (size_t y = row_lo; y < row_hi; ++y) {
    const uint8_t* src = image.rgb.data() + y * src_w * 3;
    float* dst = rows.data() + (y - row_lo) * out_w * 3;
    for (size_t x = 0; x < out_w; ++x) {
      float r = 0, g = 0, b = 0;
      const float* w = tx.weights.data() + tx.offset[x];
      const uint8_t* p = src + tx.first[x] * 3;
      for (size_t k = 0; k < tx.count[x]; ++k, p += 3) {
        r += w[k] * p[0];
        g += w[k] * p[1];
        b += w[k] * p[2];
      }
      dst[x * 3] = r;
      dst[x * 3 + 1] = g;
      dst[x * 3 + 2] = b;
    }
  }
  std::vector<uint8_t> out(out_w * out_h * 3);
  std::vector<float> acc(out_w * 3);
  for (size_t y = 0; y < out_h; ++y) {
    std::fill(acc.begin(), acc.end(), 0.0F);
    const float* w = ty.weights.data() + ty.offset[y];
    for (size_t k = 0; k < ty.count[y]; ++k) {
      const float* src = rows.data() + (ty.first[y] + k - row_lo) * out_w * 3;
      for (size_t i = 0; i < acc.size(); ++i) acc[i] += w[k] * src[i];
    }
    uint8_t* dst = out.data() + y * out_w * 3;
    for (size_t i = 0; i < acc.size(); ++i)
      dst[i] = static_cast<uint8_t>(std::clamp(std::lround(acc[i]), 0L, 255L));
  }
  return out;
}

// RGB565: each channel truncated to its top 5 or 6 bits.
uint16_t Pack565(unsigned r, unsigned g, unsigned b) {
  return static_cast<uint16_t>((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
}

void Put565(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v & 0xFF);
  at[1] = static_cast<uint8_t>(v >> 8);
}

Status CheckInputs(const Image& image, const ArtworkFormat& format) {
  if (image.width <= 0 || image.height <= 0 ||
      image.rgb.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3)
    return Status::Invalid("The cover image is empty or its pixels do not match its size.");
  if (format.width < 1 || format.height < 1 || format.width > kMaxSlotSide ||
      format.height > kMaxSlotSide || format.align_row_bytes < 0 ||
      format.align_row_bytes > kMaxAlignment) {
    return Status::Invalid("The artwork format " + std::to_string(format.id) + " is " +
                           std::to_string(format.width) + "×" + std::to_string(format.height) +
                           " aligned to " + std::to_string(format.align_row_bytes) +
                           " bytes, which cannot be rendered.");
  }
  return Status::OK();
}

}  // namespace

int64_t RowBytes(const ArtworkFormat& format) {
  const int64_t bytes = int64_t{format.width} * 2;
  const int64_t align = format.align_row_bytes > 1 ? format.align_row_bytes : 1;
  return (bytes + align - 1) / align * align;
}

Status RenderArtwork(const Image& image, const ArtworkFormat& format, RenderedArtwork* out) {
  if (Status st = CheckInputs(image, format); !st.ok()) return st;
  const double w = image.width;
  const double h = image.height;
  const double scale = format.crop ? std::max(format.width / w, format.height / h)
                                   : std::min(format.width / w, format.height / h);
  RenderedArtwork r;
  // Fitted: the whole source, scaled to at most the slot. Cropped: the
  // centre of the source that, scaled, fills the slot.
  double x0 = 0, y0 = 0, span_w = w, span_h = h;
  if (format.crop) {
    r.scaled_width = format.width;
    r.scaled_height = format.height;
    span_w = format.width / scale;
    span_h = format.height / scale;
    x0 = (w - span_w) / 2;
    y0 = (h - span_h) / 2;
  } else {
    r.scaled_width = std::clamp(static_cast<int32_t>(std::lround(w * scale)), 1, format.width);
    r.scaled_height = std::clamp(static_cast<int32_t>(std::lround(h * scale)), 1, format.height);
  }
  const int32_t hpad = (format.width - r.scaled_width) / 2;
  const int32_t vpad = (format.height - r.scaled_height) / 2;
  r.horizontal_pad = static_cast<int16_t>(hpad);
  r.vertical_pad = static_cast<int16_t>(vpad);
  r.width = static_cast<int16_t>(hpad + r.scaled_width);
  r.height = static_cast<int16_t>(vpad + r.scaled_height);

  const auto sw = static_cast<size_t>(r.scaled_width);
  const auto sh = static_cast<size_t>(r.scaled_height);
  const std::vector<uint8_t> picture = Resample(image, x0, y0, span_w, span_h, sw, sh);

  const auto stride = static_cast<size_t>(RowBytes(format));
  const uint32_t bg = format.back_color;
  const uint16_t back = Pack565(bg >> 16 & 0xFF, bg >> 8 & 0xFF, bg & 0xFF);
  r.pixels.assign(stride * static_cast<size_t>(format.height), 0);
  for (size_t y = 0; y < static_cast<size_t>(format.height); ++y) {
    uint8_t* row = r.pixels.data() + y * stride;
    for (size_t x = 0; x + 1 < stride; x += 2) Put565(row + x, back);
    if (y < static_cast<size_t>(vpad) || y >= static_cast<size_t>(vpad) + sh) continue;
    const uint8_t* src = picture.data() + (y - static_cast<size_t>(vpad)) * sw * 3;
    uint8_t* dst = row + static_cast<size_t>(hpad) * 2;
    for (size_t x = 0; x < sw; ++x, src += 3) Put565(dst + x * 2, Pack565(src[0], src[1], src[2]));
  }
  *out = std::move(r);
  return Status::OK();
}

}  // namespace cadenza
