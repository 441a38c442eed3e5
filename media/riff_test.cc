#include "media/riff.h"

#include <random>

#include "media/media_test_util.h"

namespace cadenza {
namespace {

using namespace testutil;

class RiffTest : public MediaTest {};

// Kind, id, size and number of the current chunk.
std::string Current(const clsRIFFParser& p) {
  return p.ChunkType + " " + p.ChunkFourCC + " " + std::to_string(p.ChunkSize) + " " +
         std::to_string(p.CurrentChunk);
}

TEST_F(RiffTest, WalksChunksEntersListsAndSkipsThem) {
  std::string list = List("hdrl", Chunk("sub1", "1234") + std::string(84, '\0'));
  std::string path =
      Write("t.riff", Riff("TEST", Chunk("odd7", "1234567") + list + Chunk("last", "zz")));
  clsRIFFParser r;
  ASSERT_TRUE(r.OpenFile(path));
  EXPECT_EQ(r.FileFourCC + " " + std::to_string(r.FileSize), "TEST 138");
  r.GetChunk();
  EXPECT_EQ(Current(r), "chunk odd7 8 1");
  EXPECT_EQ(r.ReadData(3), "123");
  r.GetChunk();  // 8 bytes behind the data start, whatever was read
  EXPECT_EQ(Current(r), "list hdrl 96 2");
  r.GetChunk();
  EXPECT_EQ(Current(r) + " " + r.ReadData(4), "chunk sub1 4 3 1234");

  clsRIFFParser s;
  ASSERT_TRUE(s.OpenFile(path));
  s.GetChunk();
  s.GetChunk();
  s.SkipChunk();  // the whole list
  s.GetChunk();
  EXPECT_EQ(Current(s), "chunk last 2 3");
  s.GetChunk();
  EXPECT_EQ(s.ChunkType + std::to_string(s.CurrentChunk), "eof4");
}

TEST_F(RiffTest, BadFilesAndDamagedChunks) {
  clsRIFFParser r;
  for (const std::string& bad : {Write("a.wav", "RIFX" + std::string(20, '\0')), Write("b", "RIF"),
                                 (dir_ / "missing").string(), dir_.string()})
    EXPECT_FALSE(r.OpenFile(bad)) << bad;

  // A list too small for its type, then random bytes: every chunk moves the
  // walk forward, so it ends.
  std::mt19937 rng(3);
  for (int round = 0; round < 50; ++round) {
    std::string body = "LIST" + LE32(1) + "tiny";
    for (int i = 0; i < 300; ++i) body += static_cast<char>(rng() % 4 ? 0 : rng());
    clsRIFFParser w;
    ASSERT_TRUE(w.OpenFile(Write("r.riff", Riff("AVI ", body))));
    int64_t last = w.Position();
    for (w.GetChunk(); w.ChunkType != "eof"; w.GetChunk()) {
      ASSERT_GT(w.Position(), last);
      ASSERT_LT(w.CurrentChunk, 100);
      last = w.Position();
    }
  }
}

}  // namespace
}  // namespace cadenza
