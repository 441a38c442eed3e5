#include "media/riff.h"

#include <random>
#include <vector>

#include "media/media_test_util.h"

namespace cadenza {
namespace {

using namespace testutil;

std::string Chunk(const std::string& id, const std::string& data) {
  std::string s = id + LE32(static_cast<uint32_t>(data.size())) + data;
  if (data.size() % 2) s += '\0';
  return s;
}
std::string List(const std::string& type, const std::string& body) {
  return "LIST" + LE32(static_cast<uint32_t>(body.size() + 4)) + type + body;
}
std::string Riff(const std::string& form, const std::string& body) {
  return "RIFF" + LE32(static_cast<uint32_t>(body.size() + 4)) + form + body;
}

class RiffTest : public MediaTest {};

TEST_F(RiffTest, WalksChunksAndEntersLists) {
  std::string list_body = Chunk("sub1", "1234") + std::string(84, '\0');
  std::string path = Write("t.riff", Riff("TEST", Chunk("odd7", "1234567") +
                                                      List("hdrl", list_body) +
                                                      Chunk("last", "zz")));
  clsRIFFParser r;
  ASSERT_TRUE(r.OpenFile(path));
  EXPECT_EQ(r.FileFourCC, "TEST");
  EXPECT_EQ(r.FileSize, 4 + 16 + 108 + 10);
  EXPECT_EQ(r.fileName, path);

  r.GetChunk();
  auto chunk = [&](clsRIFFParser& p) {
    return p.ChunkType + " " + p.ChunkFourCC + " " + std::to_string(p.ChunkSize) + " " +
           std::to_string(p.CurrentChunk);
  };
  EXPECT_EQ(chunk(r), "chunk odd7 8 1");
  EXPECT_EQ(r.ReadData(3), "123");
  r.GetChunk();  // 8 bytes behind the data start, whatever was read
  EXPECT_EQ(chunk(r), "list hdrl 96 2");
  r.GetChunk();
  EXPECT_EQ(r.ChunkFourCC, "sub1");
  EXPECT_EQ(r.ReadData(4), "1234");

  // Skipping a list passes over all of it.
  clsRIFFParser s;
  ASSERT_TRUE(s.OpenFile(path));
  s.GetChunk();
  s.GetChunk();
  s.SkipChunk();
  s.GetChunk();
  EXPECT_EQ(chunk(s), "chunk last 2 3");
  s.GetChunk();
  EXPECT_EQ(s.ChunkType + std::to_string(s.CurrentChunk), "eof4");
}

TEST_F(RiffTest, BadFilesAndDamagedChunks) {
  clsRIFFParser r;
  for (const std::string& bad : {Write("a.wav", "RIFX" + std::string(20, '\0')), Write("b", "RIF"),
                                 (dir_ / "missing").string(), dir_.string()})
    EXPECT_FALSE(r.OpenFile(bad)) << bad;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));

  // A list too small for its type, then random bytes: every chunk moves
  // the walk forward, so it ends.
  std::mt19937 rng(3);
  for (int round = 0; round < 50; ++round) {
    std::string body = "LIST" + LE32(1) + "tiny";
    for (int i = 0; i < 300; ++i) body += static_cast<char>(rng() % 4 ? 0 : rng());
    clsRIFFParser w;
    ASSERT_TRUE(w.OpenFile(Write("r.riff", Riff("AVI ", body))));
    int64_t last = w.Position();
    int steps = 0;
    for (w.GetChunk(); w.ChunkType != "eof"; w.GetChunk()) {
      ASSERT_GT(w.Position(), last);
      last = w.Position();
      ASSERT_LT(++steps, 100);
    }
  }
}

TEST(RiffFixtureTest, WalksAnAVIFile) {
  clsRIFFParser r;
  ASSERT_TRUE(r.OpenFile(Fixture("avi_mp3.avi")));
  EXPECT_EQ(r.FileFourCC, "AVI ");
  std::vector<std::string> ids;
  for (r.GetChunk(); r.ChunkType != "eof" && ids.size() < 10000; r.GetChunk()) {
    ids.push_back(r.ChunkFourCC);
  }
  for (const char* id : {"hdrl", "avih", "strl", "strh", "strf", "movi", "00dc", "01wb"})
    EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << id;
}

}  // namespace
}  // namespace cadenza
