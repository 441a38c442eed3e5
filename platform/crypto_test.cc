#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace cadenza {
namespace {

std::string Hex(const crypto::Sha1Digest& d) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

TEST(CryptoTest, Sha1KnownAnswers) {
  EXPECT_EQ(Hex(*crypto::Sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Hex(*crypto::Sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(*crypto::Sha1(std::string(1000000, 'a'))),
            "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// RFC 2202 test cases 1, 2, 6 (key longer than a block) and 7.
TEST(CryptoTest, HmacSha1KnownAnswers) {
  EXPECT_EQ(Hex(*crypto::HmacSha1(std::string(20, '\x0b'), "Hi There")),
            "b617318655057264e28bc0b6fb378c8ef146be00");
  EXPECT_EQ(Hex(*crypto::HmacSha1("Jefe", "what do ya want for nothing?")),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(Hex(*crypto::HmacSha1(std::string(80, '\xaa'),
                                  "Test Using Larger Than Block-Size Key - Hash Key First")),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
  EXPECT_EQ(Hex(*crypto::HmacSha1(
                std::string(80, '\xaa'),
                "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data")),
            "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
  // An empty key is a valid key.
  EXPECT_EQ(Hex(*crypto::HmacSha1("", "")), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
}

TEST(CryptoTest, HmacOverPiecesEqualsHmacOverTheJoinedText) {
  std::string key = "key";
  std::string a(100, 'x'), b, c(5000, 'y');
  const std::string_view pieces[] = {a, b, c};
  EXPECT_EQ(crypto::HmacSha1(key, pieces), crypto::HmacSha1(key, a + b + c));
}

}  // namespace
}  // namespace cadenza
