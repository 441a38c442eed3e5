// ID3v2.4 tag writer: copies an MP3 file with a new tag in front of its
// audio, made of the frames of the file's old ID3v2 tag and the fields of a
// Tags record. Used when music is copied off the device.
#ifndef CADENZA_MEDIA_ID3_WRITER_H_
#define CADENZA_MEDIA_ID3_WRITER_H_

#include <string>

#include "cadenza/status.h"
#include "cadenza/tags.h"

namespace cadenza {

// Copies MP3 file `in` to `out` (replacing it), with an ID3v2.4 tag at the
// front in place of the old ID3v2 tag. The new tag holds the frames of the
// old one (version 2.2 and 2.3 frames converted to their 2.4 form where the
// writer knows it, others of a 2.3 tag kept when their layout did not
// change, compressed, encrypted and SEEK frames dropped), and every field of
// `tags` that is not empty or zero in its frame (UTF-8 text; has_cover is
// not written). A track or disc number or count of zero keeps the file's.
// A JPEG or PNG `tags.cover` becomes an APIC front cover when the old tag
// has no picture; pictures already there keep their bytes; everything behind the old tag (audio, an
// ID3v1 tag) is copied as it is, and 1 KiB of padding follows the frames.
// kInvalid when `out` is `in`, kNotFound when `in` is missing, kCorrupt when
// the old tag runs past the end of the file, kUnsupported for an ID3v2
// version above 4 and kIOError when `out` cannot be written (an unfinished `out`
// is removed).
Status WriteID3v2Tags(const std::string& in, const std::string& out, const Tags& tags);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_ID3_WRITER_H_
