#include "media/artwork_render.h"

#include <gtest/gtest.h>

#include <functional>

namespace cadenza {
namespace {

// A w×h picture whose pixel (x, y) is colour(x, y) as 0xRRGGBB.
Image Make(int w, int h, const std::function<uint32_t(int, int)>& colour) {
  Image im{w, h, {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t c = colour(x, y);
      im.rgb.push_back(static_cast<uint8_t>(c >> 16));
      im.rgb.push_back(static_cast<uint8_t>(c >> 8));
      im.rgb.push_back(static_cast<uint8_t>(c));
    }
  return im;
}

Image Solid(int w, int h, uint32_t rgb) {
  return Make(w, h, [=](int, int) { return rgb; });
}

// The two stored bytes of slot pixel (x, y), as "lo hi".
std::pair<int, int> Bytes(const RenderedArtwork& r, const ArtworkFormat& f, size_t x, size_t y) {
  const size_t at = y * static_cast<size_t>(RowBytes(f)) + x * 2;
  return {r.pixels.at(at), r.pixels.at(at + 1)};
}

RenderedArtwork Render(const Image& im, const ArtworkFormat& f) {
  RenderedArtwork r;
  EXPECT_TRUE(RenderArtwork(im, f, &r).ok());
  return r;
}

TEST(ArtworkRenderTest, SolidColoursPackAsTruncatedRgb565) {
  const ArtworkFormat f{1055, 4, 4, 0, 0, false};
  const std::pair<uint32_t, std::pair<int, int>> cases[] = {
      {0xFF0000, {0x00, 0xF8}}, {0x00FF00, {0xE0, 0x07}}, {0x0000FF, {0x1F, 0x00}},
      {0xFFFFFF, {0xFF, 0xFF}},
      // 0x0F, 0x07, 0x0F truncate to 1, 1, 1 (rounding would give 2, 2, 2).
      {0x0F070F, {0x21, 0x08}}};
  for (const auto& [rgb, bytes] : cases) {
    SCOPED_TRACE(rgb);
    const RenderedArtwork r = Render(Solid(9, 9, rgb), f);
    ASSERT_EQ(r.pixels.size(), 32u);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(Bytes(r, f, i % 4, i / 4), bytes);
  }
}

TEST(ArtworkRenderTest, WideCoverIsFittedCentredAndPadded) {
  ArtworkFormat f{1060, 320, 320, 0, 0, false};
  RenderedArtwork r = Render(Solid(600, 300, 0xFF0000), f);
  EXPECT_EQ(r.pixels.size(), 204800u);
  EXPECT_EQ(r.vertical_pad, 80);
  EXPECT_EQ(r.horizontal_pad, 0);
  EXPECT_EQ(r.height, 240);
  EXPECT_EQ(r.width, 320);
  const std::pair<int, int> black{0, 0}, red{0x00, 0xF8}, blue{0x1F, 0x00};
  EXPECT_EQ(Bytes(r, f, 0, 79), black);
  EXPECT_EQ(Bytes(r, f, 0, 80), red);
  EXPECT_EQ(Bytes(r, f, 319, 239), red);
  EXPECT_EQ(Bytes(r, f, 319, 240), black);

  // A tall cover on a blue background: padding left and right.
  f.back_color = 0x0000FF;
  r = Render(Solid(100, 200, 0xFF0000), f);
  EXPECT_EQ(r.vertical_pad, 0);
  EXPECT_EQ(r.horizontal_pad, 80);
  EXPECT_EQ(r.width, 240);
  EXPECT_EQ(r.height, 320);
  EXPECT_EQ(Bytes(r, f, 79, 0), blue);
  EXPECT_EQ(Bytes(r, f, 80, 0), red);
  EXPECT_EQ(Bytes(r, f, 240, 319), blue);
}

TEST(ArtworkRenderTest, RowsArePaddedToTheAlignment) {
  const ArtworkFormat f{1061, 55, 55, 4, 0, false};
  EXPECT_EQ(RowBytes(f), 112);
  const RenderedArtwork r = Render(Solid(600, 600, 0xFF0000), f);
  ASSERT_EQ(r.pixels.size(), 6160u);
  EXPECT_EQ(r.width, 55);
  EXPECT_EQ(r.height, 55);
  // Pixel 54 of row 0, the 2 padding bytes (background), pixel 0 of row 1.
  EXPECT_EQ(std::vector<uint8_t>(r.pixels.begin() + 108, r.pixels.begin() + 114),
            (std::vector<uint8_t>{0x00, 0xF8, 0x00, 0x00, 0x00, 0xF8}));
}

TEST(ArtworkRenderTest, CropFillsTheSlotWithTheCentre) {
  // Four vertical stripes; cropped square, the middle two remain.
  const uint32_t stripes[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};
  const Image im = Make(40, 20, [&](int x, int) { return stripes[x / 10]; });
  const ArtworkFormat f{2000, 10, 10, 0, 0, true};
  const RenderedArtwork r = Render(im, f);
  EXPECT_EQ(r.vertical_pad, 0);
  EXPECT_EQ(r.horizontal_pad, 0);
  EXPECT_EQ(r.width, 10);
  EXPECT_EQ(r.height, 10);
  for (size_t y = 0; y < 10; ++y) {
    EXPECT_EQ(Bytes(r, f, 0, y), std::make_pair(0xE0, 0x07));  // green
    EXPECT_EQ(Bytes(r, f, 4, y), std::make_pair(0xE0, 0x07));
    EXPECT_EQ(Bytes(r, f, 5, y), std::make_pair(0x1F, 0x00));  // blue
    EXPECT_EQ(Bytes(r, f, 9, y), std::make_pair(0x1F, 0x00));
  }
}

TEST(ArtworkRenderTest, DownscalingAveragesAndUpscalingInterpolates) {
  // Black and white columns halved: every pixel is the mean grey 128
  // (R 16, G 32, B 16), where picking pixels would give black or white.
  const Image columns = Make(8, 8, [](int x, int) { return x % 2 ? 0xFFFFFFu : 0u; });
  const ArtworkFormat small{1, 4, 4, 0, 0, false};
  const RenderedArtwork r = Render(columns, small);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(Bytes(r, small, i % 4, i / 4), std::make_pair(0x10, 0x84));

  // Black, red doubled: 0, 64, 191, 255 in red, so 0, 8, 23, 31 in 5 bits.
  const Image pair = Make(2, 1, [](int x, int) { return x ? 0xFF0000u : 0u; });
  const ArtworkFormat wide{2, 4, 2, 0, 0, false};
  const RenderedArtwork up = Render(pair, wide);
  EXPECT_EQ(up.pixels, (std::vector<uint8_t>{0, 0, 0, 0x40, 0, 0xB8, 0, 0xF8,  //
                                             0, 0, 0, 0x40, 0, 0xB8, 0, 0xF8}));

  RenderedArtwork unused;
  EXPECT_EQ(RenderArtwork(Image{}, wide, &unused).code(), Status::Code::kInvalid);
  EXPECT_EQ(RenderArtwork(pair, ArtworkFormat{3, 0, 10, 0, 0, false}, &unused).code(),
            Status::Code::kInvalid);
}

}  // namespace
}  // namespace cadenza
