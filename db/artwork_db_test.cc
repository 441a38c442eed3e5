#include "db/artwork_db.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace cadenza {
namespace {

uint32_t U32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 4; i-- > 0;) v = v << 8 | static_cast<uint8_t>(b.at(at + i));
  return v;
}

std::string Build(const ArtworkDB& db) {
  std::string out;
  EXPECT_TRUE(BuildArtworkDBImage(db, &out).ok());
  return out;
}

// Two images in formats 1060 and 1055; the second names a file whose name
// needs two bytes of padding.
ArtworkDB TwoImages() {
  ArtworkDB db = BlankArtworkDB();
  const ArtworkCopy big{1060, ":F1060_1.ithmb", 0, 204800, 80, 0, 240, 320, 0};
  const ArtworkCopy small{1055, ":F1055_1.ithmb", 0, 32768, 0, 0, 128, 128, 0};
  EXPECT_TRUE(AddArtworkImage(&db, 100, 0x1122334455667788ULL, 6199, {big, small}).ok());
  ArtworkCopy big2 = big, small2 = small;
  big2.file_name = ":F1060_10.ithmb";
  small2.offset = 32768;
  EXPECT_TRUE(AddArtworkImage(&db, 101, 42, 7, {big2, small2}).ok());
  return db;
}

TEST(ArtworkDBTest, SampleFromAnotherWriterComesBackByteForByte) {
  const std::filesystem::path file = CADENZA_SHARED_DIR "/samples/libgpod-python-tests/ArtworkDB";
  if (!std::filesystem::exists(file)) GTEST_SKIP() << "no samples";
  std::ifstream in(file, std::ios::binary);
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  ArtworkDB db;
  ASSERT_TRUE(LoadArtworkDB(Bytes(bytes), &db).ok());
  ASSERT_EQ(db.sections.size(), 3u);
  const ArtworkSection* formats = FindArtworkSection(db, 3);
  ASSERT_NE(formats, nullptr);
  ASSERT_EQ(formats->formats.size(), 2u);
  EXPECT_EQ(formats->formats[0].format_id, 1031);
  EXPECT_EQ(formats->formats[0].image_size, 3528);
  EXPECT_EQ(formats->formats[1].format_id, 1027);
  EXPECT_EQ(Build(db), bytes);
}

TEST(ArtworkDBTest, NewDatabaseLayout) {
  const std::string b = Build(TwoImages());
  // Images at 0x140: 0x98 headers, copies of 0x18 + mhni 0x4C + name 0x40;
  // the second image's first name has 15 characters, so 2 bytes of padding.
  const size_t i = 0x140, o = i + 0x98, n = o + 0x18, name = n + 0x4C;
  const size_t i2 = i + 0x98 + 2 * 0xA4, name2 = i2 + 0x98 + 0x18 + 0x4C;
  const size_t s2 = 0x84 + 0x60 + 0x5C + 2 * 0x98 + 3 * 0xA4 + 0xA8, s3 = s2 + 0xBC;
  const size_t f = s3 + 0x60 + 0x5C;
  const std::vector<std::pair<size_t, std::string>> tags = {
      {0, "mhfd"}, {0x84, "mhsd"}, {0xE4, "mhli"}, {i, "mhii"}, {o, "mhod"}, {n, "mhni"},
      {name, "mhod"}, {s2, "mhsd"}, {s2 + 0x60, "mhla"}, {s3 + 0x60, "mhlf"}, {f, "mhif"}};
  for (const auto& [at, tag] : tags) EXPECT_EQ(b.substr(at, 4), tag) << at;
  const std::vector<std::pair<size_t, uint32_t>> words = {
      {8, static_cast<uint32_t>(b.size())}, {0x10, 2}, {0x14, 3}, {0x1C, 101}, {0x30, 2},
      {0x84 + 8, static_cast<uint32_t>(s2 - 0x84)}, {0x84 + 0x0C, 1}, {0xE4 + 4, 0x5C},
      {0xE4 + 8, 2},
      {i + 4, 0x98}, {i + 8, 0x98 + 2 * 0xA4}, {i + 0x0C, 2}, {i + 0x10, 100},
      {i + 0x14, 0x55667788}, {i + 0x18, 0x11223344}, {i + 0x30, 6199},
      {o + 8, 0xA4}, {o + 0x0C, 2}, {n + 4, 0x4C}, {n + 8, 0x8C}, {n + 0x0C, 1},
      {n + 0x10, 1060}, {n + 0x18, 204800}, {n + 0x1C, 80}, {n + 0x20, 240 | (320 << 16)},
      {name + 8, 0x40}, {name + 0x0C, 3}, {name + 0x18, 28}, {name + 0x1C, 2},
      {i2 + 8, 0x98 + 0xA8 + 0xA4}, {i2 + 0x98 + 8, 0xA8}, {i2 + 0x98 + 0x18 + 8, 0x90},
      {name2 + 8, 0x44}, {name2 + 0x0C, 3 | (2 << 24)}, {name2 + 0x18, 30},
      {name2 + 0x24 + 28, 'b'},  // the last letter, then two zero bytes
      {s2 + 8, 0xBC}, {s2 + 0x60 + 8, 0}, {s3 + 8, 0x60 + 0x5C + 2 * 0x7C}, {s3 + 0x60 + 8, 2},
      {f + 8, 0x7C}, {f + 0x10, 1060}, {f + 0x14, 204800}, {f + 0x7C + 0x10, 1055}};
  for (const auto& [at, v] : words) EXPECT_EQ(U32(b, at), v) << "at 0x" << std::hex << at;
  EXPECT_EQ(b.substr(name + 0x24, 6), std::string(":\0F\0" "1\0", 6));
  EXPECT_EQ(f + 2 * 0x7C, b.size());
}

TEST(ArtworkDBTest, EditsAndKeptChunks) {
  ArtworkDB db = TwoImages();
  EXPECT_EQ(NextArtworkImageId(BlankArtworkDB()), 100);
  EXPECT_EQ(NextArtworkImageId(db), 102);
  EXPECT_FALSE(AddArtworkImage(&db, 101, 1, 1, {}).ok());
  EXPECT_FALSE(AddArtworkImage(&db, 102, 1, 1, {{1, "\xC3\xA9", 0, 0, 0, 0, 0, 0, 0}}).ok());
  // An object the desktop software adds (type 6) and an unknown section
  // survive a load and write.
  const std::string mhod6 = std::string("mhod\x18\0\0\0\x1C\0\0\0\x06\0\0\0", 16) +
                            std::string(12, '\x5A');
  FindArtworkImage(&db, 101)->children.emplace_back(Bytes(mhod6));
  ArtworkSection other;
  other.whole = Bytes(std::string("mhsd\x0E\0\0\0\x0E\0\0\0\x09\0", 14));
  db.sections.push_back(other);
  const std::string first = Build(db);
  ArtworkDB again;
  ASSERT_TRUE(LoadArtworkDB(Bytes(first), &again).ok());
  EXPECT_EQ(Build(again), first);
  const ArtworkImage* img = FindArtworkImage(again, 101);
  ASSERT_NE(img, nullptr);
  ASSERT_EQ(img->children.size(), 3u);
  EXPECT_EQ(std::get<Bytes>(img->children[2]), mhod6);
  const auto& t = std::get<ArtworkThumb>(img->children[0]);
  EXPECT_EQ(ArtworkFileName(t), ":F1060_10.ithmb");
  EXPECT_EQ(t.slot_size, 204800);
  EXPECT_EQ(std::get<ArtworkThumb>(img->children[1]).offset, 32768);
  EXPECT_EQ(img->song_id, 42u);
  // Removing an image takes its bytes out and its id stays used.
  EXPECT_TRUE(RemoveArtworkImage(&again, 101));
  EXPECT_FALSE(RemoveArtworkImage(&again, 101));
  EXPECT_EQ(FindArtworkImage(again, 101), nullptr);
  EXPECT_EQ(NextArtworkImageId(again), 102);
  const size_t i2 = 0x140 + 0x98 + 2 * 0xA4;
  EXPECT_EQ(U32(first, i2 + 8), 0x98u + 0xA8 + 0xA4 + 0x1C);
  EXPECT_EQ(Build(again).size(), first.size() - U32(first, i2 + 8));
}

TEST(ArtworkDBTest, DamagedFilesFailCleanly) {
  const std::string good = Build(TwoImages());
  ArtworkDB db;
  for (size_t n = 0; n < good.size(); ++n) {
    const Status st = LoadArtworkDB(Bytes(good.substr(0, n)), &db);
    EXPECT_EQ(st.code(), Status::Code::kCorrupt) << "cut at " << n;
  }
  EXPECT_NE(LoadArtworkDB(Bytes(good.substr(0, 0x100)), &db).message().find("offset"),
            std::string::npos);
  for (size_t at = 0; at + 4 <= good.size(); at += 4) {
    for (uint32_t v : {0u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x10u, 0x1000u}) {
      std::string bad = good;
      for (size_t k = 0; k < 4; ++k) bad[at + k] = static_cast<char>(v >> (8 * k));
      if (!LoadArtworkDB(Bytes(bad), &db).ok()) continue;
      std::string out;
      if (BuildArtworkDBImage(db, &out).ok()) {
        EXPECT_TRUE(LoadArtworkDB(Bytes(out), &db).ok());
      }
    }
  }
}

}  // namespace
}  // namespace cadenza
