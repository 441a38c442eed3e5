#include "db/hash58.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;
using namespace std::string_literals;

std::string Hex(std::string_view bytes) {
  std::string s;
  for (unsigned char b : bytes) s += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return s;
}
template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes) {
  return Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), N));
}

hash58::Guid MustParse(std::string_view text) {
  hash58::Guid g{};
  EXPECT_TRUE(hash58::ParseGuid(text, &g).ok()) << text;
  return g;
}

// A well-formed database image of `size` bytes: header length 0xF4, total
// length set, the rest filled with a pattern so that every byte matters.
std::string MakeImage(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  s.replace(0, 12, "mhbd\xF4\0\0\0"s + std::string{char(size), char(size >> 8), 0, 0});
  return s;
}

TEST(Hash58Guid, AcceptsExactlySixteenHexDigits) {
  hash58::Guid g = MustParse("0X000a2700113Ef298");
  EXPECT_EQ(g, (hash58::Guid{0x00, 0x0A, 0x27, 0x00, 0x11, 0x3E, 0xF2, 0x98}));
  EXPECT_EQ(hash58::GuidToText(g), "000A2700113EF298");
  const hash58::Guid untouched{1, 2, 3, 4, 5, 6, 7, 8};
  for (const char* bad :
       {"", "0x", "000A2700113EF29", "000A2700113EF2980", " 000A2700113EF298", "000A2700113EF298\n",
        "000A2700113EF2G8", "0x0x00A2700113EF298", "+00A2700113EF298"}) {
    g = untouched;
    EXPECT_EQ(hash58::ParseGuid(bad, &g).code(), Status::Code::kInvalid) << '"' << bad << '"';
    EXPECT_EQ(g, untouched) << bad;
  }
}

TEST(Hash58Key, MatchesTheWorkedValues) {
  const std::pair<const char*, const char*> worked[] = {
      {"000A2700113EF298", "4ed8f3c210e9d24f1c745a2ec6d26f1a8232a454"},
      {"000A27001234ABCD", "7656555989011358f15b51f7bf00c518ffd9109e"},
      {"000A2700FFFF8040", "3ea796c4d5eb4245e84f1c3f2007fdb20adacd15"}};
  for (const auto& [guid, key_hex] : worked) {
    hash58::Key key{};
    ASSERT_TRUE(hash58::DeriveKey(MustParse(guid), &key).ok());
    EXPECT_EQ(Hex(key), key_hex) << guid;
  }
}

TEST(Hash58Sign, CoversTheWholeFileExceptTheThreeBlankedRanges) {
  const hash58::Guid guid = MustParse("000A27001234ABCD");
  const std::string before = MakeImage(5000);
  std::string image = before;
  ASSERT_TRUE(hash58::Sign(&image, guid).ok());
  ASSERT_TRUE(hash58::Verify(image, guid).ok());
  // Only the scheme field, the checksum and the (cleared) hash72 area change.
  EXPECT_EQ(image.substr(0x72, 46), std::string(46, '\0'));
  for (size_t i = 0; i < image.size(); ++i) {
    if (i < 0x30 || (i >= 0x32 && i < 0x58) || (i >= 0x6C && i < 0x72) || i >= 0xA0) {
      ASSERT_EQ(image[i], before[i]) << i;
    }
  }
  // The database id and the range at 0x32 are not hashed; every other byte
  // counts, the checksum's own included, and so does the GUID.
  std::string changed = image;
  changed[0x18] ^= 0x55;
  changed[0x45] ^= 0x55;
  EXPECT_TRUE(hash58::Verify(changed, guid).ok());
  for (size_t at : {0x08, 0x17, 0x20, 0x2F, 0x31, 0x46, 0x58, 0x6B, 0x6C, 0x72, 0x9F, 4999}) {
    changed = image;
    changed[at] ^= 0x01;
    EXPECT_EQ(hash58::Verify(changed, guid).code(), Status::Code::kCorrupt) << at;
  }
  EXPECT_EQ(hash58::Verify(image, MustParse("000A27001234ABCE")).code(), Status::Code::kCorrupt);

  // With a header shorter than the hash72 area, the bytes after the header
  // belong to the first section and stay as they are.
  std::string short_header = MakeImage(0x200);
  short_header[4] = static_cast<char>(0x80);
  const std::string section = short_header.substr(0x80, 0x20);
  ASSERT_TRUE(hash58::Sign(&short_header, guid).ok());
  EXPECT_EQ(short_header.substr(0x72, 0x0E), std::string(0x0E, '\0'));
  EXPECT_EQ(short_header.substr(0x80, 0x20), section);
  EXPECT_TRUE(hash58::Verify(short_header, guid).ok());
}

TEST(Hash58Sign, RefusesImagesThatCannotCarryTheChecksum) {
  const hash58::Guid guid = MustParse("000A2700113EF298");
  auto with = [](size_t at, char v) {
    std::string s = MakeImage(0x200);
    s[at] = v;
    return s;
  };
  struct Case {
    std::string image;
    Status::Code code;
    bool hash_refused;  // computing the checksum is refused too
  } cases[] = {{"", Status::Code::kInvalid, true},
               {MakeImage(hash58::kMinimumSize - 1), Status::Code::kInvalid, true},
               {with(0, 'x'), Status::Code::kCorrupt, true},     // not a database
               {with(4, 0x68), Status::Code::kInvalid, true},    // section inside the checksum
               {with(8, 0x10), Status::Code::kInvalid, false}};  // total length not final
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.image.substr(0, 12)));
    std::string image = c.image;
    EXPECT_EQ(hash58::Sign(&image, guid).code(), c.code);
    EXPECT_EQ(image, c.image) << "must stay unchanged";
    hash58::Hash h{};
    EXPECT_EQ(hash58::ComputeHash(c.image, guid, &h).ok(), !c.hash_refused);
  }
  // The shortest image that can carry it is accepted.
  std::string smallest = MakeImage(hash58::kMinimumSize);
  smallest[4] = static_cast<char>(hash58::kMinimumSize);
  EXPECT_TRUE(hash58::Sign(&smallest, guid).ok());
  EXPECT_TRUE(hash58::Verify(smallest, guid).ok());
}

// Known-answer vectors signed by an independent implementation.
TEST(Hash58Vectors, EveryVectorChecksAndResignsToTheSameBytes) {
  const stdfs::path vectors = stdfs::path(CADENZA_SHARED_DIR) / "hash58-vectors";
  if (!stdfs::is_directory(vectors)) GTEST_SKIP() << "no " << vectors;
  int signed_vectors = 0, unsigned_vectors = 0;
  for (const auto& entry : stdfs::directory_iterator(vectors)) {
    if (!entry.is_directory()) continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    // x<Model>_<GUID>[_note]
    const hash58::Guid guid = MustParse(name.substr(name.find('_') + 1, 16));
    const std::string file = ReadBytes(entry.path() / "iTunesDB");
    uint16_t scheme = 99;
    ASSERT_TRUE(hash58::ReadScheme(file, &scheme));

    if (name.ends_with("_nohash")) {
      ++unsigned_vectors;
      EXPECT_EQ(scheme, hash58::kSchemeNone);
      EXPECT_EQ(file.substr(0x58, 20), std::string(20, '\0'));
      EXPECT_EQ(hash58::Verify(file, guid).code(), Status::Code::kCorrupt);
      continue;
    }
    ++signed_vectors;
    EXPECT_EQ(scheme, hash58::kSchemeHash58);
    hash58::Hash hash{};
    ASSERT_TRUE(hash58::ComputeHash(file, guid, &hash).ok());
    EXPECT_EQ(Hex(hash), Hex(file.substr(0x58, 20)));
    EXPECT_TRUE(hash58::Verify(file, guid).ok());

    // Blank the checksum and the scheme field, sign again: the same file.
    std::string blank = file;
    blank.replace(0x58, 20, 20, '\0');
    blank[0x30] = 0;
    ASSERT_TRUE(hash58::Sign(&blank, guid).ok());
    EXPECT_TRUE(blank == file) << "re-signed file differs";
  }
  EXPECT_GE(signed_vectors, 6);
  EXPECT_GE(unsigned_vectors, 1);
}

}  // namespace
}  // namespace cadenza
