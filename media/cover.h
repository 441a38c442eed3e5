// Finding a track's cover picture: the one its file's tags carry (an ID3v2
// APIC frame, an MP4 covr item, a FLAC PICTURE block), or an image file
// beside it (cover, folder or front with .jpg, .jpeg or .png).
#ifndef CADENZA_MEDIA_COVER_H_
#define CADENZA_MEDIA_COVER_H_

#include <string>
#include <string_view>

#include "cadenza/status.h"

namespace cadenza {

// Pictures larger than this are not taken (a cover is rarely over 2 MiB).
inline constexpr size_t kMaxCoverBytes = size_t{16} << 20;

// True when `bytes` start like a JPEG or a PNG.
bool IsCoverImage(std::string_view bytes);

// The picture the file's tags carry: of several, the front cover (picture
// type 3) first, else the first. Only JPEG and PNG pictures are taken.
// kNotFound when the file has none; kIOError when it cannot be read.
Status ReadEmbeddedCover(const std::string& path, std::string* bytes);

// The path of an image beside `media_path` named cover, folder or front
// (in that order) with .jpg, .jpeg or .png, compared without regard to
// case; "" when there is none.
std::string FindCoverBeside(const std::string& media_path);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_COVER_H_
