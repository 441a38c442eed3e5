// Decoding covers with libjpeg-turbo and libpng, and writing PNGs with libpng.
//
// Both libraries report errors by calling a function that must not return;
// here it jumps back (longjmp) to the function that started the step. Those
// functions hold no C++ objects with destructors, so the jump skips nothing
// but the libraries' own C frames; buffers are made by their callers.
#include "platform/image.h"

#include <csetjmp>
#include <cstddef>
#include <cstdio>  // before jpeglib.h, which uses FILE and size_t
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

namespace cadenza {
namespace {

// Progressive JPEGs may hold any number of scans; a file with thousands of
// tiny scans takes minutes to decode, so the count is capped.
constexpr int kMaxJpegScans = 1000;

// ---- JPEG ----

struct JpegErrors {
  jpeg_error_mgr mgr{};
  jmp_buf jump{};
  char message[JMSG_LENGTH_MAX] = {};
  bool truncated = false;
};

struct JpegState {
  jpeg_decompress_struct info{};
  JpegErrors errors;
  jpeg_progress_mgr progress{};
};

[[noreturn]] void JpegErrorExit(j_common_ptr c) {
  auto* e = reinterpret_cast<JpegErrors*>(c->err);
  (*c->err->format_message)(c, e->message);
  std::longjmp(e->jump, 1);
}

// Warnings are not printed; a premature end of the data is remembered, as
// libjpeg would otherwise fill the rest of the picture with grey.
void JpegEmitMessage(j_common_ptr c, int level) {
  auto* e = reinterpret_cast<JpegErrors*>(c->err);
  if (level < 0 && c->err->msg_code == JWRN_JPEG_EOF) e->truncated = true;
}

void JpegProgress(j_common_ptr c) {
  auto* state = static_cast<JpegState*>(c->client_data);
  if (state->info.input_scan_number > kMaxJpegScans) {
    std::snprintf(state->errors.message, sizeof state->errors.message, "too many scans");
    std::longjmp(state->errors.jump, 1);
  }
}

// Reads the header and chooses the output colours; false on an error.
bool JpegStart(JpegState* s) {
  if (setjmp(s->errors.jump)) return false;
  jpeg_read_header(&s->info, TRUE);
  if (s->info.jpeg_color_space == JCS_CMYK || s->info.jpeg_color_space == JCS_YCCK) {
    s->info.out_color_space = JCS_CMYK;
  } else {
    s->info.out_color_space = JCS_RGB;
  }
  return true;
}

// Decodes every row into `pixels` (width × components bytes a row).
bool JpegRead(JpegState* s, uint8_t* pixels) {
  if (setjmp(s->errors.jump)) return false;
  jpeg_start_decompress(&s->info);
  const size_t stride = size_t{s->info.output_width} * static_cast<size_t>(s->info.output_components);
  while (s->info.output_scanline < s->info.output_height) {
    JSAMPROW row = pixels + size_t{s->info.output_scanline} * stride;
    if (jpeg_read_scanlines(&s->info, &row, 1) != 1) return false;
  }
  jpeg_finish_decompress(&s->info);
  return true;
}

// CMYK to RGB. Adobe's files store the inks inverted (0 = full ink).
void CmykToRgb(const std::vector<uint8_t>& cmyk, bool inverted, std::vector<uint8_t>* rgb) {
  rgb->resize(cmyk.size() / 4 * 3);
  for (size_t i = 0, o = 0; i + 3 < cmyk.size(); i += 4, o += 3) {
    const unsigned k = inverted ? cmyk[i + 3] : 255u - cmyk[i + 3];
    for (size_t c = 0; c < 3; ++c) {
      const unsigned ink = inverted ? cmyk[i + c] : 255u - cmyk[i + c];
      (*rgb)[o + c] = static_cast<uint8_t>((ink * k + 127) / 255);
    }
  }
}

Status DecodeJpeg(std::string_view bytes, Image* out) {
  JpegState s;
  s.info.err = jpeg_std_error(&s.errors.mgr);
  s.errors.mgr.error_exit = JpegErrorExit;
  s.errors.mgr.emit_message = JpegEmitMessage;
  jpeg_create_decompress(&s.info);
  s.info.client_data = &s;
  s.progress.progress_monitor = JpegProgress;
  s.info.progress = &s.progress;
  jpeg_mem_src(&s.info, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  Status st;
  std::vector<uint8_t> pixels;
  if (!JpegStart(&s)) {
    st = Status::Corrupt(std::string("The JPEG cover cannot be read: ") + s.errors.message + ".");
  } else if (st = CheckImageSize(s.info.image_width, s.info.image_height); st.ok()) {
    const size_t components = s.info.out_color_space == JCS_CMYK ? 4 : 3;
    pixels.resize(size_t{s.info.image_width} * s.info.image_height * components);
    if (!JpegRead(&s, pixels.data())) {
      st = Status::Corrupt(std::string("The JPEG cover is damaged: ") + s.errors.message + ".");
    } else if (s.errors.truncated) {
      st = Status::Corrupt("The JPEG cover is truncated.");
    }
  }
  const bool cmyk = s.info.out_color_space == JCS_CMYK;
  const bool adobe = s.info.saw_Adobe_marker != 0;
  const int width = static_cast<int>(s.info.output_width);
  const int height = static_cast<int>(s.info.output_height);
  jpeg_destroy_decompress(&s.info);
  if (!st.ok()) return st;
  Image image;
  image.width = width;
  image.height = height;
  if (cmyk) {
    CmykToRgb(pixels, adobe, &image.rgb);
  } else {
    image.rgb = std::move(pixels);
  }
  ApplyExifOrientation(JpegExifOrientation(bytes), &image);
  *out = std::move(image);
  return Status::OK();
}

// ---- PNG ----

struct PngState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::string_view bytes;
  size_t at = 0;
  char message[200] = {};
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  std::string* out = nullptr;  // where an encoder writes
};

void PngRead(png_structp png, png_bytep data, size_t length) {
  auto* s = static_cast<PngState*>(png_get_io_ptr(png));
  if (length > s->bytes.size() - s->at) png_error(png, "the file ends early");
  std::memcpy(data, s->bytes.data() + s->at, length);
  s->at += length;
}

[[noreturn]] void PngError(png_structp png, png_const_charp message) {
  auto* s = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(s->message, sizeof s->message, "%s", message);
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// Reads the header and asks libpng for 8-bit RGBA whatever the file holds.
bool PngStart(PngState* s) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  png_set_user_limits(s->png, kMaxImageSide, kMaxImageSide);
  png_read_info(s->png, s->info);
  s->width = png_get_image_width(s->png, s->info);
  s->height = png_get_image_height(s->png, s->info);
  const png_byte type = png_get_color_type(s->png, s->info);
  if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(s->png);
  if (type == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(s->png, s->info) < 8)
    png_set_expand_gray_1_2_4_to_8(s->png);
  if (png_get_valid(s->png, s->info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(s->png);
  png_set_scale_16(s->png);
  if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(s->png);
  png_set_add_alpha(s->png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(s->png);
  png_read_update_info(s->png, s->info);
  return png_get_rowbytes(s->png, s->info) == size_t{s->width} * 4;
}

bool PngPixels(PngState* s, png_bytepp rows) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  png_read_image(s->png, rows);
  return true;
}

// The size in the header (the IHDR chunk comes first), so that an image
// claiming an enormous size is refused with the limits' own message.
Status CheckPngHeaderSize(std::string_view bytes) {
  if (bytes.size() < 24 || bytes.substr(12, 4) != "IHDR") return Status::OK();
  auto be32 = [&](size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
    return int64_t{v};
  };
  return CheckImageSize(be32(16), be32(20));
}

Status DecodePng(std::string_view bytes, Image* out) {
  if (Status st = CheckPngHeaderSize(bytes); !st.ok()) return st;
  PngState s;
  s.bytes = bytes;
  s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s, PngError, PngWarning);
  if (s.png) s.info = png_create_info_struct(s.png);
  if (!s.info) {
    png_destroy_read_struct(&s.png, nullptr, nullptr);
    return Status::IOError("The PNG decoder could not be started.");
  }
  png_set_read_fn(s.png, &s, PngRead);
  Status st;
  std::vector<uint8_t> rgba;
  if (!PngStart(&s)) {
    st = Status::Corrupt(std::string("The PNG cover cannot be read: ") + s.message + ".");
  } else if (st = CheckImageSize(s.width, s.height); st.ok()) {
    rgba.resize(size_t{s.width} * s.height * 4);
    std::vector<png_bytep> rows(s.height);
    for (size_t y = 0; y < rows.size(); ++y) rows[y] = rgba.data() + y * s.width * 4;
    if (!PngPixels(&s, rows.data()))
      st = Status::Corrupt(std::string("The PNG cover is damaged: ") + s.message + ".");
  }
  png_destroy_read_struct(&s.png, &s.info, nullptr);
  if (!st.ok()) return st;
  // Flattened onto black in place (each RGB pixel lands at or before the
  // RGBA pixel it comes from), so no second buffer of the full size is made.
  for (size_t i = 0, o = 0; i < rgba.size(); i += 4, o += 3) {
    const unsigned r = rgba[i], g = rgba[i + 1], b = rgba[i + 2], alpha = rgba[i + 3];
    rgba[o] = static_cast<uint8_t>((r * alpha + 127) / 255);
    rgba[o + 1] = static_cast<uint8_t>((g * alpha + 127) / 255);
    rgba[o + 2] = static_cast<uint8_t>((b * alpha + 127) / 255);
  }
  rgba.resize(rgba.size() / 4 * 3);
  out->width = static_cast<int>(s.width);
  out->height = static_cast<int>(s.height);
  out->rgb = std::move(rgba);
  return Status::OK();
}

// ---- PNG output ----

// Appends to the output string. An allocation failure becomes a libpng
// error after the exception is gone, so nothing is thrown through libpng.
void PngWrite(png_structp png, png_bytep data, size_t length) {
  auto* s = static_cast<PngState*>(png_get_io_ptr(png));
  bool appended = true;
  try {
    s->out->append(reinterpret_cast<const char*>(data), length);
  } catch (const std::exception&) {
    appended = false;
  }
  if (!appended) png_error(png, "out of memory");
}

void PngFlush(png_structp) {}

// Writes the header, every row and the end of the file; false on an error.
bool PngWriteAll(PngState* s, png_bytepp rows) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  png_set_IHDR(s->png, s->info, s->width, s->height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(s->png, s->info);
  png_write_image(s->png, rows);
  png_write_end(s->png, s->info);
  return true;
}

}  // namespace

Status DecodeImage(std::string_view bytes, Image* out) {
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xFF\xD8\xFF") return DecodeJpeg(bytes, out);
  if (bytes.size() >= 8 && bytes.substr(0, 8) == "\x89PNG\r\n\x1A\n") return DecodePng(bytes, out);
  return Status::Unsupported("The cover is neither a JPEG nor a PNG image.");
}

Status EncodePng(const Image& image, std::string* out) {
  if (image.width <= 0 || image.height <= 0)
    return Status::Invalid("An empty image cannot be written as a PNG.");
  if (Status st = CheckImageSize(image.width, image.height); !st.ok()) return st;
  const size_t stride = static_cast<size_t>(image.width) * 3;
  if (image.rgb.size() != stride * static_cast<size_t>(image.height))
    return Status::Invalid("The image's pixels do not match its size.");
  PngState s;
  std::string file;
  s.out = &file;
  s.width = static_cast<png_uint_32>(image.width);
  s.height = static_cast<png_uint_32>(image.height);
  s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, PngError, PngWarning);
  if (s.png) s.info = png_create_info_struct(s.png);
  if (!s.info) {
    png_destroy_write_struct(&s.png, nullptr);
    return Status::IOError("The PNG encoder could not be started.");
  }
  png_set_write_fn(s.png, &s, PngWrite, PngFlush);
  // libpng takes rows as non-const pointers but only reads them.
  std::vector<png_bytep> rows(s.height);
  auto* pixels = const_cast<png_bytep>(image.rgb.data());
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = pixels + y * stride;
  const bool written = PngWriteAll(&s, rows.data());
  png_destroy_write_struct(&s.png, &s.info);
  if (!written)
    return Status::IOError(std::string("The PNG cannot be written: ") + s.message + ".");
  *out = std::move(file);
  return Status::OK();
}

}  // namespace cadenza
