// MP4 tag writer: copies an MP4 file with its iTunes tags (moov/udta/meta/
// ilst) changed, keeping every other atom and the media data as they are.
#ifndef CADENZA_MEDIA_MP4_WRITER_H_
#define CADENZA_MEDIA_MP4_WRITER_H_

#include <functional>
#include <string>
#include <string_view>

#include "cadenza/status.h"
#include "cadenza/tags.h"

namespace cadenza {

// Copies the MP4 file `in` to `out` with the tags changed: each text field of
// `tags` that is not empty, each number that is not zero, and compilation
// when true replaces the file's value or is added; the other fields keep the
// file's values. A JPEG or PNG `tags.cover` becomes a covr item when the
// ilst has none; a cover already there and all other ilst items stay byte
// for byte, as do all other atoms and the media data. When the moov lies before media
// data and changes size, the chunk offsets (stco, co64) of all tracks are
// moved by the difference; a 'free' atom after the ilst (or after the moov)
// takes up the difference when it can, so that nothing moves. Creates
// udta/meta/ilst when missing. Writes only `out`, which must not be `in`.
// Unsupported or Corrupt for input it cannot take, IOError when a file
// cannot be read or written.
Status WriteMP4Tags(const std::string& in, const std::string& out, const Tags& tags);

// The same from an image of a whole file in memory; the new file goes to
// `emit` in pieces, in order.
Status WriteMP4TagsBytes(std::string_view in, const Tags& tags,
                         const std::function<Status(std::string_view)>& emit);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_MP4_WRITER_H_
