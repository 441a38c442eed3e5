#include "db/hash58.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "platform/crypto.h"

namespace cadenza::hash58 {
namespace {

// Little-endian fields of the header. Callers check the bounds first.
uint16_t GetU16(std::string_view s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) |
                               (static_cast<uint8_t>(s[at + 1]) << 8));
}
uint32_t GetU32(std::string_view s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(s[at + i])} << (8 * i);
  return v;
}
void PutU16(std::string* s, size_t at, uint16_t v) {
  (*s)[at] = static_cast<char>(v & 0xFF);
  (*s)[at + 1] = static_cast<char>(v >> 8);
}

// The AES S-box and its inverse, built from their definition: the
// multiplicative inverse in GF(2^8) (modulus x^8+x^4+x^3+x+1) followed by the
// affine map b ^ rotl(b,1) ^ rotl(b,2) ^ rotl(b,3) ^ rotl(b,4) ^ 0x63.
struct SBoxes {
  std::array<uint8_t, 256> forward{};
  std::array<uint8_t, 256> inverse{};
};

constexpr uint8_t RotateLeft(uint8_t b, int n) {
  return static_cast<uint8_t>((b << n) | (b >> (8 - n)));
}

constexpr SBoxes MakeSBoxes() {
  // Walks the multiplicative group with the generator 3: p runs through
  // every non-zero element and q through their inverses, so the table
  // needs no search for inverses.
  SBoxes boxes;
  uint8_t p = 1, q = 1;
  do {
    p = static_cast<uint8_t>(p ^ (p << 1) ^ ((p & 0x80) ? 0x1B : 0));  // p * 3
    q = static_cast<uint8_t>(q ^ (q << 1));                             // q / 3
    q = static_cast<uint8_t>(q ^ (q << 2));
    q = static_cast<uint8_t>(q ^ (q << 4));
    if (q & 0x80) q = static_cast<uint8_t>(q ^ 0x09);
    uint8_t s = static_cast<uint8_t>(q ^ RotateLeft(q, 1) ^ RotateLeft(q, 2) ^
                                     RotateLeft(q, 3) ^ RotateLeft(q, 4) ^ 0x63);
    boxes.forward[p] = s;
    boxes.inverse[s] = p;
  } while (p != 1);
  boxes.forward[0] = 0x63;
  boxes.inverse[0x63] = 0;
  return boxes;
}

constexpr SBoxes kSBoxes = MakeSBoxes();
static_assert(kSBoxes.forward[0x00] == 0x63 && kSBoxes.forward[0x53] == 0xED &&
              kSBoxes.forward[0xFF] == 0x16);
static_assert(kSBoxes.inverse[0x00] == 0x52 && kSBoxes.inverse[0x63] == 0x00 &&
              kSBoxes.inverse[0xFF] == 0x7D);

// The fixed 18 bytes that precede the looked-up bytes in the key input.
constexpr uint8_t kKeyPrefix[18] = {0x67, 0x23, 0xFE, 0x30, 0x45, 0x33, 0xF8, 0x90, 0x99,
                                    0x21, 0x07, 0xC1, 0xD0, 0x12, 0xB2, 0xA1, 0x07, 0x81};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Checks what every operation on an image needs: the identifier and room
// for the checksum fields in both the file and its header.
Status CheckImage(std::string_view image) {
  if (image.size() < kMinimumSize) {
    return Status::Invalid("The database is too small to carry a checksum (" +
                           std::to_string(image.size()) + " bytes, at least " +
                           std::to_string(kMinimumSize) + " needed).");
  }
  if (image.substr(0, 4) != "mhbd") {
    return Status::Corrupt("The database does not start with its header (\"mhbd\").");
  }
  uint32_t header_length = GetU32(image, 4);
  if (header_length < kMinimumSize) {
    // Writing the checksum would overwrite the first section.
    return Status::Invalid("The database header is too short to carry a checksum (" +
                           std::to_string(header_length) + " bytes).");
  }
  return Status::OK();
}

}  // namespace

Status ParseGuid(std::string_view text, Guid* out) {
  std::string_view digits = text;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
  }
  Guid guid{};
  bool ok = digits.size() == 2 * guid.size();
  for (size_t i = 0; ok && i < guid.size(); ++i) {
    int hi = HexValue(digits[2 * i]);
    int lo = HexValue(digits[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      ok = false;
    } else {
      guid[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
  }
  if (!ok) {
    return Status::Invalid("\"" + std::string(text.substr(0, 64)) +
                           "\" is not a FireWire GUID (16 hex digits).");
  }
  *out = guid;
  return Status::OK();
}

std::string GuidToText(const Guid& guid) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : guid) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

Status DeriveKey(const Guid& guid, Key* out) {
  std::string input(reinterpret_cast<const char*>(kKeyPrefix), sizeof kKeyPrefix);
  for (size_t i = 0; i < 4; ++i) {
    unsigned a = guid[2 * i];
    unsigned b = guid[2 * i + 1];
    // The least common multiple of the pair (1 when either is zero); at most
    // 255 * 254, so it fits in 16 bits.
    unsigned m = (a == 0 || b == 0) ? 1 : std::lcm(a, b);
    uint8_t hi = static_cast<uint8_t>(m >> 8);
    uint8_t lo = static_cast<uint8_t>(m & 0xFF);
    for (uint8_t v : {kSBoxes.forward[hi], kSBoxes.inverse[hi], kSBoxes.forward[lo],
                      kSBoxes.inverse[lo]}) {
      input += static_cast<char>(v);
    }
  }
  auto digest = crypto::Sha1(input);
  if (!digest) return Status::IOError("The cryptographic library failed to compute SHA-1.");
  *out = *digest;
  return Status::OK();
}

Status ComputeHash(std::string_view image, const Guid& guid, Hash* out) {
  Status st = CheckImage(image);
  if (!st.ok()) return st;
  Key key;
  st = DeriveKey(guid, &key);
  if (!st.ok()) return st;

  // Only the first kMinimumSize bytes differ from the file; the rest is
  // hashed where it lies.
  std::string head(image.substr(0, kMinimumSize));
  std::fill_n(head.begin() + kDatabaseIdOffset, kDatabaseIdSize, '\0');
  std::fill_n(head.begin() + kUnknown32Offset, kUnknown32Size, '\0');
  std::fill_n(head.begin() + kHashOffset, kHashSize, '\0');
  PutU16(&head, kSchemeOffset, kSchemeHash58);

  const std::string_view pieces[] = {head, image.substr(kMinimumSize)};
  auto mac = crypto::HmacSha1(
      std::string_view(reinterpret_cast<const char*>(key.data()), key.size()), pieces);
  if (!mac) return Status::IOError("The cryptographic library failed to compute HMAC-SHA1.");
  *out = *mac;
  return Status::OK();
}

Status Sign(std::string* image, const Guid& guid) {
  Status st = CheckImage(*image);
  if (!st.ok()) return st;
  uint32_t total = GetU32(*image, kTotalLengthOffset);
  if (total != image->size()) {
    // The checksum covers the total length; a writer that fixes it up later
    // would leave a database the device rejects.
    return Status::Invalid("The database's total length (" + std::to_string(total) +
                           ") is not its size (" + std::to_string(image->size()) +
                           "); it cannot be signed.");
  }
  Hash hash;
  // The hash72 area lies inside the hashed bytes, so it is cleared first;
  // only the part that belongs to the header is touched.
  size_t header_length = GetU32(*image, 4);
  size_t h72_end = std::min({kHash72Offset + kHash72Size, header_length, image->size()});
  std::string hash72_before;
  if (h72_end > kHash72Offset) {
    hash72_before = image->substr(kHash72Offset, h72_end - kHash72Offset);
    std::fill(image->begin() + kHash72Offset, image->begin() + static_cast<ptrdiff_t>(h72_end),
              '\0');
  }
  st = ComputeHash(*image, guid, &hash);
  if (!st.ok()) {
    image->replace(kHash72Offset, hash72_before.size(), hash72_before);
    return st;
  }
  PutU16(image, kSchemeOffset, kSchemeHash58);
  std::memcpy(image->data() + kHashOffset, hash.data(), hash.size());
  return Status::OK();
}

Status Verify(std::string_view image, const Guid& guid) {
  Hash hash;
  Status st = ComputeHash(image, guid, &hash);
  if (!st.ok()) return st;
  uint16_t scheme = GetU16(image, kSchemeOffset);
  if (scheme != kSchemeHash58) {
    return Status::Corrupt("The database is not marked as carrying a checksum (scheme " +
                           std::to_string(scheme) + ").");
  }
  if (image.substr(kHashOffset, kHashSize) !=
      std::string_view(reinterpret_cast<const char*>(hash.data()), hash.size())) {
    return Status::Corrupt("The database checksum does not match its contents for GUID " +
                           GuidToText(guid) + ".");
  }
  return Status::OK();
}

bool ReadScheme(std::string_view image, uint16_t* scheme) {
  if (image.size() < kSchemeOffset + 2 || image.substr(0, 4) != "mhbd") return false;
  *scheme = GetU16(image, kSchemeOffset);
  return true;
}

}  // namespace cadenza::hash58
