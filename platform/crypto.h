// Message digests the core needs: SHA-1 and HMAC-SHA1 (RFC 2104).
//
// This is the only place that knows which library computes them: OpenSSL's
// libcrypto on Linux (crypto_openssl.cc), CNG on Windows (crypto_win.cc).
// The functions return nothing (std::nullopt) only when the
// library itself fails, which callers report as an error.
#ifndef CADENZA_PLATFORM_CRYPTO_H_
#define CADENZA_PLATFORM_CRYPTO_H_

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace cadenza::crypto {

using Sha1Digest = std::array<uint8_t, 20>;

// SHA-1 of `data`.
std::optional<Sha1Digest> Sha1(std::string_view data);

// HMAC-SHA1 of `data` under `key` (any length).
std::optional<Sha1Digest> HmacSha1(std::string_view key, std::string_view data);

// HMAC-SHA1 of the concatenation of `pieces`, without joining them first.
std::optional<Sha1Digest> HmacSha1(std::string_view key,
                                   std::span<const std::string_view> pieces);

}  // namespace cadenza::crypto

#endif  // CADENZA_PLATFORM_CRYPTO_H_
