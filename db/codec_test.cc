#include "db/codec.h"

#include <gtest/gtest.h>

namespace cadenza {
namespace {

TEST(CodecTest, PackersGiveLittleEndianTwosComplementOfTheFieldWidth) {
  EXPECT_EQ(PackLong(-1), std::string("\xFF\xFF\xFF\xFF", 4));
  EXPECT_EQ(PackLong(300), std::string("\x2C\x01\x00\x00", 4));
  EXPECT_EQ(PackInteger(0x1234), std::string("\x34\x12", 2));
  EXPECT_EQ(PackInteger(-2), std::string("\xFE\xFF", 2));
  EXPECT_EQ(PackByte(0), std::string(1, '\0'));
  const std::string raw("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  EXPECT_EQ(PackCurrency(LoadLE64(raw.data())), raw);
}

TEST(CodecTest, ReaderRefusesEveryReadPastTheEnd) {
  Bytes buf(std::string("\x2C\x01\x00\x00\xAB", 5));
  ByteReader r(buf);
  EXPECT_EQ(r.Long(), 300);
  EXPECT_FALSE(r.failed());
  EXPECT_EQ(r.Integer(), 0);  // only one byte left
  EXPECT_TRUE(r.failed());
  // Images are cut at the end; one that starts beyond it fails.
  ByteReader r2(buf);
  EXPECT_EQ(r2.Image(3, 100).size(), 2u);
  EXPECT_FALSE(r2.failed());
  r2.Image(6, 1);
  EXPECT_TRUE(r2.failed());
}

TEST(CodecTest, WriterExtendsWithZerosAndOverwritesInPlace) {
  ByteWriter w;
  w.Put(4, "ab");
  EXPECT_EQ(w.str(), std::string("\0\0\0\0ab", 6));
  w.PutLong(0, 0x01020304);
  w.Put(5, "XYZ");
  EXPECT_EQ(w.str(), std::string("\x04\x03\x02\x01" "aXYZ", 8));
}

}  // namespace
}  // namespace cadenza
