#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace cadenza {
namespace {

std::string Hex(const crypto::Sha1Digest& d) {
  std::string s;
  for (uint8_t b : d) s += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return s;
}

// FIPS 180 "abc"; RFC 2202 case 7 (key and data longer than a block).
TEST(CryptoTest, KnownAnswers) {
  EXPECT_EQ(Hex(*crypto::Sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(*crypto::HmacSha1(
                std::string(80, '\xaa'),
                "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data")),
            "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(CryptoTest, HmacOverPiecesEqualsHmacOverTheJoinedText) {
  std::string a(100, 'x'), b, c(5000, 'y');
  const std::string_view pieces[] = {a, b, c};
  EXPECT_EQ(crypto::HmacSha1("key", pieces), crypto::HmacSha1("key", a + b + c));
}

}  // namespace
}  // namespace cadenza
