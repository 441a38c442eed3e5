// PNG output and decoding through the Windows Imaging Component: an odd-sized
// picture written by EncodePng decodes to the same pixels, bad input is
// refused. With a file name, the PNG is saved there for a Linux decoder to
// read. Ends with "done: N failed".
#include <cstdio>
#include <string>
#include <vector>

#include "platform/image.h"

int main(int argc, char** argv) {
  using cadenza::Image;
  int failed = 0;
  auto check = [&](const char* what, bool ok) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    failed += ok ? 0 : 1;
  };
  Image im{7, 5, std::vector<uint8_t>(7 * 5 * 3)}, back;
  for (size_t i = 0; i < im.rgb.size(); ++i) im.rgb[i] = static_cast<uint8_t>(i * 37 + i / 21);
  std::string png;
  check("EncodePng, 8-bit RGB", cadenza::EncodePng(im, &png).ok() && png.size() > 33 &&
                                    png.compare(12, 4, "IHDR") == 0 && png[24] == 8 &&
                                    png[25] == 2);
  check("the same pixels decoded", cadenza::DecodeImage(png, &back).ok() && back.width == 7 &&
                                       back.height == 5 && back.rgb == im.rgb);
  const Image short_buffer{7, 5, std::vector<uint8_t>(7 * 5 * 3 - 1)};
  check("short buffer refused",
        cadenza::EncodePng(short_buffer, &png).code() == cadenza::Status::Code::kInvalid);
  check("truncated PNG refused", !cadenza::DecodeImage(png.substr(0, png.size() / 2), &back).ok());
  if (argc > 1) {
    FILE* f = std::fopen(argv[1], "wb");
    check("PNG saved", f && std::fwrite(png.data(), 1, png.size(), f) == png.size());
    if (f) std::fclose(f);
  }
  std::printf("done: %d failed\n", failed);
  return failed ? 1 : 0;
}
