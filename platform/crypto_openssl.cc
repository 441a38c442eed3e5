// SHA-1 and HMAC-SHA1 through OpenSSL's libcrypto (EVP interfaces, which are
// the ones OpenSSL 3 keeps undeprecated).
#include "platform/crypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>

namespace cadenza::crypto {
namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct MacFree {
  void operator()(EVP_MAC* m) const { EVP_MAC_free(m); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};

}  // namespace

std::optional<Sha1Digest> Sha1(std::string_view data) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) return std::nullopt;
  Sha1Digest out{};
  unsigned int len = 0;
  if (EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1 || len != out.size()) {
    return std::nullopt;
  }
  return out;
}

std::optional<Sha1Digest> HmacSha1(std::string_view key,
                                   std::span<const std::string_view> pieces) {
  std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) return std::nullopt;
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(EVP_MAC_CTX_new(mac.get()));
  if (!ctx) return std::nullopt;
  char digest_name[] = "SHA1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
      OSSL_PARAM_construct_end()};
  // OpenSSL refuses a null key pointer even for an empty key.
  static const unsigned char kEmpty = 0;
  const auto* key_bytes = key.empty()
                              ? &kEmpty
                              : reinterpret_cast<const unsigned char*>(key.data());
  if (EVP_MAC_init(ctx.get(), key_bytes, key.size(), params) != 1) return std::nullopt;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    if (EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(piece.data()),
                       piece.size()) != 1) {
      return std::nullopt;
    }
  }
  Sha1Digest out{};
  size_t len = 0;
  if (EVP_MAC_final(ctx.get(), out.data(), &len, out.size()) != 1 || len != out.size()) {
    return std::nullopt;
  }
  return out;
}

std::optional<Sha1Digest> HmacSha1(std::string_view key, std::string_view data) {
  const std::string_view pieces[] = {data};
  return HmacSha1(key, pieces);
}

}  // namespace cadenza::crypto
