#include "media/pcm_audio.h"

#include "media/media_test_util.h"

namespace cadenza {
namespace {

using namespace testutil;

// Sample rate, channels, kbit/s and length in ms.
std::string Row(const PCMAudioInfo& i) {
  return std::to_string(i.iSampleRate) + " " + std::to_string(i.iChannels) + " " +
         std::to_string(i.iBitrate) + " " + std::to_string(i.iLength);
}

TEST(PCMFixtureTest, AgreesWithFFprobe) {
  auto probe = ProbeResults();
  for (const char* name : {"pcm_s16_stereo_44100.wav", "pcm_u8_mono_8000.wav",
                           "pcm_s16_stereo_11025.aiff", "pcm_s16_mono_16000.aifc"}) {
    SCOPED_TRACE(name);
    const ProbeResult& p = probe.at(name);
    PCMAudioInfo info;
    bool wave = std::string(name).ends_with(".wav");
    ASSERT_TRUE(wave ? ReadWaveInfo(Fixture(name), info) : ReadAiffInfo(Fixture(name), info));
    EXPECT_EQ(Row(info), std::to_string(p.sample_rate) + " " + std::to_string(p.channels) + " " +
                             std::to_string((p.bit_rate + 500) / 1000) + " " +
                             std::to_string(static_cast<int>(p.duration * 1000 + 0.5)));
    EXPECT_EQ(info.iFileSize, std::filesystem::file_size(Fixture(name)));
  }
  // MPEG audio inside a WAVE file is left to the MPEG analysis.
  PCMAudioInfo info;
  EXPECT_FALSE(ReadWaveInfo(Fixture("mp3_in_wave.wav"), info));
  EXPECT_EQ(info.iFormatTag, kWaveFormatMPEGLayer3);
  EXPECT_FALSE(ReadWaveInfo(Fixture("pcm_s16_stereo_11025.aiff"), info));
  EXPECT_FALSE(ReadAiffInfo(Fixture("pcm_s16_stereo_44100.wav"), info));
}

class PCMAudioTest : public MediaTest {};

std::string Fmt(uint16_t channels, uint32_t rate, uint32_t byte_rate) {
  return "fmt " + LE32(16) + LE16(1) + LE16(channels) + LE32(rate) + LE32(byte_rate) +
         LE16(static_cast<uint16_t>(channels * 2)) + LE16(16);
}

TEST_F(PCMAudioTest, CraftedWaveFiles) {
  PCMAudioInfo info;
  // A data chunk claiming more than the file holds counts as far as it goes.
  std::string body = Fmt(2, 44100, 176400) + List("INFO", "abcd") + "data" + LE32(0xFFFFFFF0) +
                     std::string(17640, '\0');
  ASSERT_TRUE(ReadWaveInfo(Write("a.wav", Riff("WAVE", body)), info));
  EXPECT_EQ(Row(info) + " " + std::to_string(info.iSampleFrames), "44100 2 1411 100 4410");
  // A byte rate of 0 is worked out from the sample format.
  body = Fmt(1, 8000, 0) + Chunk("data", std::string(16000, '\0'));
  ASSERT_TRUE(ReadWaveInfo(Write("b.wav", Riff("WAVE", body)), info));
  EXPECT_EQ(info.iLength, 1000);
  for (const std::string& bad :
       {Fmt(2, 0, 0) + "data" + LE32(0), Fmt(2, 44100, 176400), Chunk("data", "abcd")})
    EXPECT_FALSE(ReadWaveInfo(Write("c.wav", Riff("WAVE", bad)), info));
  EXPECT_FALSE(ReadWaveInfo(Write("f.wav", "RIFF"), info) || ReadWaveInfo(dir_.string(), info));
}

// The COMM chunk of an AIFF file with the sample rate as 80-bit extended.
std::string Comm(uint32_t frames, const std::string& rate80, const std::string& compression = "") {
  std::string d = std::string{0, 2} + BE32(frames) + std::string{0, 16} + rate80 + compression;
  return "COMM" + BE32(static_cast<uint32_t>(d.size())) + d;
}
std::string Aiff(const std::string& form, const std::string& body) {
  return "FORM" + BE32(static_cast<uint32_t>(body.size() + 4)) + form + body;
}
std::string Sound(uint32_t n) { return "SSND" + BE32(8 + n) + std::string(8 + n + n % 2, '\0'); }

TEST_F(PCMAudioTest, CraftedAiffFiles) {
  const std::string k44100("\x40\x0E\xAC\x44\0\0\0\0\0\0", 10);
  PCMAudioInfo info;
  // Uncompressed: frames beyond what the sound chunk holds are not counted.
  const std::tuple<uint32_t, uint32_t, const char*> cases[] = {
      {88200, 352800, "44100 2 1411 2000 88200"}, {0xFFFFFFFF, 11025, "44100 2 1411 62 2756"}};
  for (const auto& [frames, bytes, want] : cases) {
    ASSERT_TRUE(
        ReadAiffInfo(Write("a.aiff", Aiff("AIFF", Comm(frames, k44100) + Sound(bytes))), info));
    EXPECT_EQ(Row(info) + " " + std::to_string(info.iSampleFrames) + " " + info.sCompression,
              std::string(want) + " NONE");
  }
  // Compressed AIFF-C: the bit rate follows the sound data.
  ASSERT_TRUE(ReadAiffInfo(
      Write("b.aifc", Aiff("AIFC", Comm(44100, k44100, "ima4") + Sound(11025))), info));
  EXPECT_EQ(Row(info) + " " + info.sCompression, "44100 2 88 1000 ima4");
  // Sample rates that are not finite, zero, absurd or negative are refused; a
  // chunk claiming 4 GB ends the walk before the COMM; a COMM cut short.
  for (const std::string& bad :
       {Comm(10, std::string("\x7F\xFF\x80\0\0\0\0\0\0\0", 10)), Comm(10, std::string(10, '\0')),
        Comm(10, std::string("\x40\x40\x80\0\0\0\0\0\0\0", 10)),
        Comm(10, std::string("\xC0\x0E\xAC\x44\0\0\0\0\0\0", 10)),
        "JUNK" + BE32(0xFFFFFFFF) + Comm(10, k44100), Comm(10, k44100).substr(0, 20)})
    EXPECT_FALSE(ReadAiffInfo(Write("c.aiff", Aiff("AIFF", bad)), info));
  EXPECT_FALSE(ReadAiffInfo(Write("f.aiff", ""), info) || ReadAiffInfo(dir_.string(), info));
}

}  // namespace
}  // namespace cadenza
