// The database checksum of iPod classic and iPod nano 3G/4G ("hash58").
//
// These devices show "No Music" unless the header of the database carries a
// 20-byte HMAC-SHA1 at 0x58, computed over the whole file under a key derived
// from the device's FireWire GUID. The file is hashed with the database id
// (0x18, 8 bytes), the range 0x32..0x45 and the checksum itself zeroed and
// with the scheme field at 0x30 set to 1; those two ranges keep their real
// values in the file.
//
// Signing is the last step of building a database image: every length in it
// (the total length at 0x08 included) must be final, because any later
// change of a hashed byte invalidates the checksum.
#ifndef CADENZA_DB_HASH58_H_
#define CADENZA_DB_HASH58_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cadenza/status.h"

namespace cadenza::hash58 {

// Header layout (offsets from the start of the file).
inline constexpr size_t kTotalLengthOffset = 0x08;
inline constexpr size_t kDatabaseIdOffset = 0x18;
inline constexpr size_t kDatabaseIdSize = 8;
inline constexpr size_t kSchemeOffset = 0x30;
inline constexpr size_t kUnknown32Offset = 0x32;
inline constexpr size_t kUnknown32Size = 20;
inline constexpr size_t kHashOffset = 0x58;
inline constexpr size_t kHashSize = 20;
inline constexpr size_t kHash72Offset = 0x72;
inline constexpr size_t kHash72Size = 46;
// The shortest file (and header) that can carry the checksum.
inline constexpr size_t kMinimumSize = kHashOffset + kHashSize;  // 0x6C

// Values of the scheme field at 0x30.
inline constexpr uint16_t kSchemeNone = 0;
inline constexpr uint16_t kSchemeHash58 = 1;
inline constexpr uint16_t kSchemeHash72 = 2;
inline constexpr uint16_t kSchemeHashAB = 4;

using Guid = std::array<uint8_t, 8>;
using Key = std::array<uint8_t, 20>;
using Hash = std::array<uint8_t, 20>;

// Parses a FireWire GUID: exactly 16 hex digits in either case, optionally
// after "0x" (as SysInfo writes it). Anything else (shorter, longer, blanks,
// other characters) is refused, so no GUID is ever guessed or truncated.
Status ParseGuid(std::string_view text, Guid* out);
// The GUID as 16 upper-case hex digits.
std::string GuidToText(const Guid& guid);

// The 20-byte HMAC key of a device.
Status DeriveKey(const Guid& guid, Key* out);

// The checksum of a complete database image (it must start with "mhbd" and
// be at least kMinimumSize bytes, header included). The image is not
// changed; what is stored at 0x58 and 0x30 does not matter.
Status ComputeHash(std::string_view image, const Guid& guid, Hash* out);

// Signs a complete database image in place: sets the scheme field to 1,
// clears the hash72 area (a stale one must never be carried over) and
// stores the checksum at 0x58. Refuses, leaving the image unchanged, an image
// that is too short, does not start with "mhbd", has a header shorter than
// the checksum fields, or whose total length at 0x08 is not its size.
Status Sign(std::string* image, const Guid& guid);

// OK when the image carries scheme 1 and a checksum that matches its bytes
// for `guid`; kCorrupt when the checksum does not match.
Status Verify(std::string_view image, const Guid& guid);

// The scheme field of an image (false when the image is too short to have
// one or is not a database).
bool ReadScheme(std::string_view image, uint16_t* scheme);

}  // namespace cadenza::hash58

#endif  // CADENZA_DB_HASH58_H_
