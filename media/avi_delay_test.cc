#include "media/avi_delay.h"

#include <random>

#include "media/media_test_util.h"

namespace cadenza {
namespace {

using namespace testutil;

struct Stream {
  uint16_t format_tag = 0x55;  // MP3
  uint32_t avg_bytes = 16000, start = 0, rate = 1000;
  std::string type = "auds";
};
const Stream kVideo{0, 0, 0, 1000, "vids"};

// An AVI file with the given streams and data chunks in its "movi" list.
std::string Avi(const std::vector<Stream>& streams, const std::string& movi) {
  std::string hdrl = Chunk("avih", std::string(56, '\0'));
  for (const Stream& s : streams) {
    std::string strh = s.type + "mp3 " + std::string(12, '\0') + LE32(1) + LE32(s.rate) +
                       LE32(s.start) + std::string(24, '\0');
    std::string strf = LE16(s.format_tag) + LE16(2) + LE32(44100) + LE32(s.avg_bytes) + LE16(1) +
                       LE16(16) + LE16(0);
    hdrl += List("strl", Chunk("strh", strh) + Chunk("strf", strf));
  }
  return Riff("AVI ", List("hdrl", hdrl) + List("movi", movi));
}

const std::string kMP3Frame = BE32(0xFFFB9000) + std::string(400, '\x11');

class AviDelayTest : public MediaTest {
 protected:
  bool Open(clsAVIDelay& avi, const std::string& b) { return avi.OpenFile(Write("t.avi", b)); }
};

TEST_F(AviDelayTest, DelaysFromTheFirstFrame) {
  const Stream ac3{0x2000, 24000, 50}, pcm{1}, pcm_late{1, 16000, 500};  // starts in ms
  std::string movi = Chunk("00dc", "video") + Chunk("01wb", std::string(417, '\0') + kMP3Frame) +
                     Chunk("01wb", kMP3Frame) +  // later chunks change nothing
                     Chunk("02wb", std::string(100, '\0') + "\x0B\x77" + "ac3") +
                     Chunk("03wb", std::string(64, '\0')) + Chunk("04wb", std::string(64, '\0'));
  clsAVIDelay avi;
  ASSERT_TRUE(Open(avi, Avi({kVideo, Stream(), ac3, pcm, pcm_late}, movi)));
  ASSERT_EQ(avi.StreamCount(), 5);
  EXPECT_TRUE(!avi.StreamIsAudio(0) && !avi.StreamIsAudio(-1) && avi.StreamIsAudio(1));
  // Video -1; 417 bytes at 16000 bytes/s; round(100 / 24) + 50; PCM starting
  // at 0 keeps -1; a declared start is added to the -1; no such stream.
  std::string delays;
  for (int n : {0, 1, 2, 3, 4, 9}) delays += std::to_string(avi.StreamDelay(n)) + " ";
  EXPECT_EQ(delays, "-1 26 54 -1 499 -1 ");
  // A rate and a byte rate of 0 do not divide by zero.
  clsAVIDelay zero;
  ASSERT_TRUE(Open(zero, Avi({{0x55, 0, 2, 0}}, Chunk("00wb", "abc" + kMP3Frame))));
  EXPECT_EQ(zero.StreamDelay(0), 3000 + 2000);
  // An 0xFF is a frame start only when the next byte has both lowest bits set.
  EXPECT_EQ(clsAVIDelay::FindMPEGSync(std::string("\xFF\x12\xFF\xFD", 4)), 2);
}

TEST_F(AviDelayTest, NoFrameInTheFirstBytes) {
  std::string two = Chunk("00wb", std::string(800'000, '\0')) +
                    Chunk("00wb", std::string(800'000, '\0') + kMP3Frame);
  clsAVIDelay avi;
  ASSERT_TRUE(Open(avi, Avi({Stream()}, two)));
  EXPECT_EQ(avi.StreamDelay(0), -2);
  // The first chunk, the bytes before the frame, then the whole second chunk.
  EXPECT_EQ(avi.Streams()[0].lBytesBeforeFrame, 800'000 + 800'000 + 800'404);
}

TEST_F(AviDelayTest, BadAndRandomlyDamagedFiles) {
  clsAVIDelay avi;
  for (const std::string& bad :
       {Write("a.avi", Avi({Stream()}, Chunk("xxwb", kMP3Frame))),
        Write("b.avi", Avi({Stream()}, Chunk("07wb", kMP3Frame))),
        Fixture("pcm_s16_stereo_44100.wav"), (dir_ / "missing.avi").string(), dir_.string()})
    EXPECT_FALSE(avi.OpenFile(bad)) << bad;

  std::string good = Avi({kVideo, Stream()}, Chunk("00dc", "v") + Chunk("01wb", "ab" + kMP3Frame));
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) {
    std::string bytes = good;
    for (int k = 0; k < 4; ++k) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    clsAVIDelay damaged;
    if (!Open(damaged, bytes)) continue;
    for (int32_t n = 0; n < damaged.StreamCount(); ++n) EXPECT_GE(damaged.StreamDelay(n), -2);
  }
}

TEST(AviFixtureTest, StreamsOfEncodedFiles) {
  // Whether the audio data starts with a frame.
  const std::pair<const char*, bool> wants[] = {
      {"avi_mp3.avi", true}, {"avi_ac3.avi", true}, {"avi_pcm.avi", false}};
  for (const auto& [file, starts_at_once] : wants) {
    SCOPED_TRACE(file);
    clsAVIDelay avi;
    ASSERT_TRUE(avi.OpenFile(Fixture(file)));
    ASSERT_EQ(avi.StreamCount(), 2);
    EXPECT_TRUE(!avi.StreamIsAudio(0) && avi.StreamIsAudio(1));
    EXPECT_EQ(avi.StreamDelay(1), starts_at_once ? 0 : -1);
  }
}

}  // namespace
}  // namespace cadenza
