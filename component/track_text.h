// Helpers shared by the operations that build or rewrite a track's text
// objects and fixed fields.
#ifndef CADENZA_COMPONENT_TRACK_TEXT_H_
#define CADENZA_COMPONENT_TRACK_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "cadenza/records.h"

namespace cadenza {

// Text objects longer than this many UTF-16 units are cut when created.
inline constexpr size_t kMaxNewText = 500;

// UTF-8 text to UTF-16, cut to `max_units` code units (never inside a
// surrogate pair).
std::u16string ToObjectText(std::string_view utf8, size_t max_units = std::u16string::npos);

// Recomputes the header fields of a text object from its text.
void CompleteTextObject(MHOD_S& o);

// Whether a data object is held as text (not kept whole as an image).
inline bool IsText(const MHOD_S& o) { return o.sAllMHOD.empty(); }

// The UTF-8 text of the track's first text object of `type`; empty when it
// has none.
std::string TrackText(const MHIT& t, DataObjectType type);

// The year field: the number that `text` starts with (0 when none), as the
// four bytes of a 32-bit little-endian number.
std::string YearField(std::string_view text);
// The year field's number as decimal text; empty for 0 or a short field.
std::string YearText(std::string_view field);

// Sample rate fields of a track: the rate times 65536 (the bit pattern in a
// signed field) and the rate as a 32-bit IEEE float. False when the rate
// does not fit (65536 Hz or more, or negative).
bool SampleRateFields(int32_t hz, int32_t* scaled, int32_t* as_float);

// A time as the database holds it: seconds since 1904-01-01 (00:00 UTC),
// as the four bytes of a 32-bit little-endian number. `unix_seconds` is
// seconds since 1970; times outside the field's range are clamped.
std::string MacTimeField(int64_t unix_seconds);
// The field's time as seconds since 1970; 0 for an empty or short field.
int64_t UnixTime(std::string_view field);

}  // namespace cadenza

#endif  // CADENZA_COMPONENT_TRACK_TEXT_H_
