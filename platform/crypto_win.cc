// SHA-1 and HMAC-SHA1 through Windows CNG (bcrypt).
// windows.h first: bcrypt.h builds on its types.
#include <windows.h>
// clang-format off
#include <bcrypt.h>
// clang-format on

#include "platform/crypto.h"

namespace cadenza::crypto {
namespace {

bool Ok(NTSTATUS s) { return s >= 0; }

// Hashes `pieces` with SHA-1, keyed (HMAC) when `key` is given.
std::optional<Sha1Digest> Digest(const std::string_view* key,
                                 std::span<const std::string_view> pieces) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (!Ok(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr,
                                      key ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0)))
    return std::nullopt;
  std::optional<Sha1Digest> result;
  BCRYPT_HASH_HANDLE hash = nullptr;
  // CNG wants a pointer even for an empty key.
  static UCHAR empty = 0;
  PUCHAR key_bytes = nullptr;
  ULONG key_size = 0;
  if (key) {
    key_bytes = key->empty() ? &empty : reinterpret_cast<PUCHAR>(const_cast<char*>(key->data()));
    key_size = static_cast<ULONG>(key->size());
  }
  if (key && key->size() > 0xFFFFFFFFu) {
    BCryptCloseAlgorithmProvider(alg, 0);
    return std::nullopt;
  }
  if (Ok(BCryptCreateHash(alg, &hash, nullptr, 0, key_bytes, key_size, 0))) {
    bool ok = true;
    for (std::string_view piece : pieces) {
      // In slices that fit CNG's 32-bit lengths.
      while (ok && !piece.empty()) {
        ULONG n = piece.size() > (1u << 30) ? (1u << 30) : static_cast<ULONG>(piece.size());
        ok = Ok(
            BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(piece.data())), n, 0));
        piece.remove_prefix(n);
      }
    }
    Sha1Digest out{};
    if (ok && Ok(BCryptFinishHash(hash, out.data(), static_cast<ULONG>(out.size()), 0)))
      result = out;
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(alg, 0);
  return result;
}

}  // namespace

std::optional<Sha1Digest> Sha1(std::string_view data) {
  const std::string_view pieces[] = {data};
  return Digest(nullptr, pieces);
}

std::optional<Sha1Digest> HmacSha1(std::string_view key, std::span<const std::string_view> pieces) {
  return Digest(&key, pieces);
}

std::optional<Sha1Digest> HmacSha1(std::string_view key, std::string_view data) {
  const std::string_view pieces[] = {data};
  return HmacSha1(key, pieces);
}

}  // namespace cadenza::crypto
