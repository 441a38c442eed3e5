#include "platform/image.h"

#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "testing/temp_dir.h"

namespace cadenza {
namespace {

using Rgb = std::array<int, 3>;
constexpr Rgb kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};

Rgb At(const Image& im, int x, int y) {
  const size_t i = (static_cast<size_t>(y) * static_cast<size_t>(im.width) + x) * 3;
  return {im.rgb[i], im.rgb[i + 1], im.rgb[i + 2]};
}

// The colours at the centres of the four quadrants: TL, TR, BL, BR.
void ExpectQuadrants(const Image& im, const std::array<Rgb, 4>& want, int tolerance) {
  const int w = im.width, h = im.height;
  const std::array<Rgb, 4> got{At(im, w / 4, h / 4), At(im, 3 * w / 4, h / 4),
                               At(im, w / 4, 3 * h / 4), At(im, 3 * w / 4, 3 * h / 4)};
  for (size_t q = 0; q < 4; ++q)
    for (size_t c = 0; c < 3; ++c)
      EXPECT_NEAR(got[q][c], want[q][c], tolerance) << "quadrant " << q << " channel " << c;
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v ffmpeg >/dev/null") != 0) GTEST_SKIP() << "ffmpeg is not installed";
    dir_ = FreshTestDir("cadenza_image");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A 64×32 picture of four solid quadrants made by ffmpeg (red, green /
  // blue, white unless told), encoded as `name` with `options`.
  std::string Quadrants(const std::string& name, const std::string& options,
                        const std::array<const char*, 4>& colours = {"red", "lime", "blue",
                                                                     "white"}) {
    std::string cmd = "ffmpeg -v error -y";
    for (const char* c : colours) cmd += std::string(" -f lavfi -i color=c=") + c + ":s=32x16,format=rgba";
    const auto path = dir_ / name;
    cmd += " -filter_complex '[0][1]hstack[t];[2][3]hstack[b];[t][b]vstack' -frames:v 1 " +
           options + " '" + path.string() + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return ReadBytes(path);
  }

  std::filesystem::path dir_;
};

TEST_F(ImageTest, JpegAndPngVariantsDecodeToTheirColours) {
  Image im;
  ASSERT_TRUE(DecodeImage(Quadrants("q.jpg", "-q:v 2"), &im).ok());
  EXPECT_EQ(im.width, 64);
  EXPECT_EQ(im.height, 32);
  ExpectQuadrants(im, {kRed, kGreen, kBlue, kWhite}, 12);

  for (const char* fmt : {"rgb24", "pal8", "rgb48be", "rgba", "rgba64be"}) {
    SCOPED_TRACE(fmt);
    ASSERT_TRUE(DecodeImage(Quadrants(std::string(fmt) + ".png", std::string("-pix_fmt ") + fmt),
                            &im).ok());
    ExpectQuadrants(im, {kRed, kGreen, kBlue, kWhite}, 4);  // ffmpeg's palette: 252 for 255
  }
  for (const char* fmt : {"gray", "gray16be", "monob", "ya8"}) {
    SCOPED_TRACE(fmt);
    const std::string png = Quadrants(std::string(fmt) + ".png", std::string("-pix_fmt ") + fmt,
                                      {"black", "white", "white", "black"});
    ASSERT_TRUE(DecodeImage(png, &im).ok());
    ExpectQuadrants(im, {kBlack, kWhite, kWhite, kBlack}, 1);
  }
  // Transparency is flattened onto black: half-transparent red becomes dark red.
  ASSERT_TRUE(DecodeImage(Quadrants("alpha.png", "-pix_fmt rgba",
                                    {"red@0.5", "lime@0.0", "blue", "white@0.5"}),
                          &im).ok());
  ExpectQuadrants(im, {Rgb{128, 0, 0}, kBlack, kBlue, Rgb{128, 128, 128}}, 2);
}

void AppendPngBytes(png_structp png, png_bytep data, size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), length);
}

TEST_F(ImageTest, InterlacedPngDecodes) {
  // libpng writes the Adam7 file (ffmpeg writes none).
  constexpr int kW = 64, kH = 32;
  std::string rgb(size_t{kW} * kH * 3, '\0');
  for (size_t y = 0; y < kH; ++y)
    for (size_t x = 0; x < kW; ++x) {
      const Rgb c = y < kH / 2 ? (x < kW / 2 ? kRed : kGreen) : (x < kW / 2 ? kBlue : kWhite);
      for (size_t i = 0; i < 3; ++i) rgb[(y * kW + x) * 3 + i] = static_cast<char>(c[i]);
    }
  std::string file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &file, AppendPngBytes, nullptr);
  png_set_IHDR(png, info, kW, kH, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_ADAM7,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  std::array<png_bytep, kH> rows{};
  for (size_t y = 0; y < kH; ++y) rows[y] = reinterpret_cast<png_bytep>(rgb.data() + y * kW * 3);
  png_set_rows(png, info, rows.data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  ASSERT_EQ(static_cast<uint8_t>(file[28]), 1);  // the IHDR's interlace method

  Image im;
  ASSERT_TRUE(DecodeImage(file, &im).ok());
  ExpectQuadrants(im, {kRed, kGreen, kBlue, kWhite}, 0);
}

// An APP1 block holding one IFD with the Orientation tag, in either byte order.
std::string ExifApp1(int orientation, bool little) {
  const char o = static_cast<char>(orientation);
  const std::string tiff =
      little ? std::string("II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 18) + o +
                   std::string("\0\0\0\0\0\0\0", 7)
             : std::string("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0", 19) + o +
                   std::string("\0\0\0\0\0\0", 6);
  const std::string body = std::string("Exif\0\0", 6) + tiff;
  const size_t length = body.size() + 2;
  return std::string("\xFF\xE1") + static_cast<char>(length >> 8) + static_cast<char>(length) +
         body;
}

TEST_F(ImageTest, JpegExifOrientationIsApplied) {
  const std::string jpeg = Quadrants("q.jpg", "-q:v 2");
  // The stored picture is red, green / blue, white; what each orientation shows.
  const std::array<std::array<Rgb, 4>, 8> upright{{
      {kRed, kGreen, kBlue, kWhite},  // 1 as stored
      {kGreen, kRed, kWhite, kBlue},  // 2 mirrored left to right
      {kWhite, kBlue, kGreen, kRed},  // 3 turned half round
      {kBlue, kWhite, kRed, kGreen},  // 4 mirrored top to bottom
      {kRed, kBlue, kGreen, kWhite},  // 5 mirrored along the main diagonal
      {kBlue, kRed, kWhite, kGreen},  // 6 turned clockwise
      {kWhite, kGreen, kBlue, kRed},  // 7 mirrored along the other diagonal
      {kGreen, kWhite, kRed, kBlue},  // 8 turned anticlockwise
  }};
  for (int o = 1; o <= 8; ++o) {
    SCOPED_TRACE(o);
    const std::string tagged = jpeg.substr(0, 2) + ExifApp1(o, o % 2 == 0) + jpeg.substr(2);
    Image im;
    ASSERT_TRUE(DecodeImage(tagged, &im).ok());
    EXPECT_EQ(im.width, o >= 5 ? 32 : 64);
    EXPECT_EQ(im.height, o >= 5 ? 64 : 32);
    ExpectQuadrants(im, upright[static_cast<size_t>(o - 1)], 12);
  }
}

TEST_F(ImageTest, DamagedOrHugeImagesAreRefused) {
  const std::string jpeg = Quadrants("q.jpg", "-q:v 2");
  const std::string png = Quadrants("q.png", "");
  Image im;
  for (const std::string* file : {&jpeg, &png}) {
    for (size_t cut : {size_t{10}, file->size() / 2, file->size() * 9 / 10}) {
      SCOPED_TRACE(cut);
      const Status st = DecodeImage(file->substr(0, cut), &im);
      EXPECT_EQ(st.code(), Status::Code::kCorrupt) << st.message();
    }
  }
  // Damaged bytes in the compressed data: an error or a picture, never a crash.
  for (size_t at = 100; at < png.size(); at += 37) {
    std::string bad_png = png, bad_jpeg = jpeg;
    bad_png[at] = static_cast<char>(bad_png[at] ^ 0x5A);
    if (at < bad_jpeg.size()) bad_jpeg[at] = static_cast<char>(bad_jpeg[at] ^ 0x5A);
    (void)DecodeImage(bad_png, &im);
    (void)DecodeImage(bad_jpeg, &im);
  }
  EXPECT_EQ(DecodeImage("GIF89a......", &im).code(), Status::Code::kUnsupported);

  // A PNG claiming 100000×100000 pixels (IHDR at 16), a JPEG 10000×8000 (SOF0).
  im = Image{7, 1, std::vector<uint8_t>(21)};
  std::string huge_png = png;
  huge_png.replace(16, 8, std::string("\0\x01\x86\xA0\0\x01\x86\xA0", 8));
  Status st = DecodeImage(huge_png, &im);
  EXPECT_EQ(st.code(), Status::Code::kInvalid);
  EXPECT_NE(st.message().find("100000×100000"), std::string::npos) << st.message();
  std::string huge_jpeg = jpeg;
  const size_t sof = huge_jpeg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  huge_jpeg.replace(sof + 5, 4, "\x1F\x40\x27\x10");
  EXPECT_EQ(DecodeImage(huge_jpeg, &im).code(), Status::Code::kInvalid);
  EXPECT_EQ(im.width, 7);  // a refusal leaves the output as it was
}

TEST_F(ImageTest, EncodedPngReadsBackAsTheSamePixels) {
  // An odd size, so that rows are not a multiple of 2 or 4 bytes.
  Image im{7, 5, std::vector<uint8_t>(7 * 5 * 3)};
  for (size_t i = 0; i < im.rgb.size(); ++i) im.rgb[i] = static_cast<uint8_t>(i * 37 + i / 21);
  std::string png;
  ASSERT_TRUE(EncodePng(im, &png).ok());
  ASSERT_GE(png.size(), 33u);
  // The header: 7×5, 8-bit RGB, not interlaced.
  EXPECT_EQ(png.substr(12, 17), std::string("IHDR\0\0\0\x07\0\0\0\x05\x08\x02\0\0\0", 17));
  Image back;
  ASSERT_TRUE(DecodeImage(png, &back).ok());
  EXPECT_EQ(back.width, 7);
  EXPECT_EQ(back.height, 5);
  EXPECT_EQ(back.rgb, im.rgb);
  // ffmpeg's own PNG decoder reads the same pixels.
  WriteBytes(dir_ / "x.png", png);
  const std::string cmd = "ffmpeg -v error -y -i '" + (dir_ / "x.png").string() +
                          "' -f rawvideo -pix_fmt rgb24 '" + (dir_ / "x.rgb").string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  const std::string raw = ReadBytes(dir_ / "x.rgb");
  EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.end()), im.rgb);

  std::string untouched = "kept";
  for (const Image& bad : {Image{}, Image{7, 5, std::vector<uint8_t>(7 * 5 * 3 - 1)},
                           Image{0, 5, {}}, Image{9000, 1, std::vector<uint8_t>(27000)}})
    EXPECT_EQ(EncodePng(bad, &untouched).code(), Status::Code::kInvalid) << bad.width;
  EXPECT_EQ(untouched, "kept");
}

}  // namespace
}  // namespace cadenza
