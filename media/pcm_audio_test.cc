#include "media/pcm_audio.h"

#include "media/media_test_util.h"

namespace cadenza {
namespace {

using namespace testutil;

TEST(PCMFixtureTest, AgreesWithFFprobe) {
  auto probe = ProbeResults();
  for (const char* name : {"pcm_s16_stereo_44100.wav", "pcm_u8_mono_8000.wav",
                           "pcm_s16_stereo_11025.aiff", "pcm_s16_mono_16000.aifc"}) {
    SCOPED_TRACE(name);
    const ProbeResult& p = probe.at(name);
    PCMAudioInfo info;
    bool wave = std::string(name).ends_with(".wav");
    ASSERT_TRUE(wave ? ReadWaveInfo(Fixture(name), info) : ReadAiffInfo(Fixture(name), info));
    EXPECT_EQ(std::to_string(info.iSampleRate) + " " + std::to_string(info.iChannels) + " " +
                  std::to_string(info.iBitrate) + " " + std::to_string(info.iLength),
              std::to_string(p.sample_rate) + " " + std::to_string(p.channels) + " " +
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

std::string Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avg) {
  return "fmt " + LE32(16) + LE16(tag) + LE16(channels) + LE32(rate) + LE32(avg) +
         LE16(static_cast<uint16_t>(channels * 2)) + LE16(16);
}
std::string Wave(const std::string& body) {
  return "RIFF" + LE32(static_cast<uint32_t>(body.size() + 4)) + "WAVE" + body;
}
// The COMM chunk of an AIFF file with the sample rate as 80-bit extended.
std::string Comm(uint16_t channels, uint32_t frames, const std::string& rate80,
                 const std::string& compression = "") {
  std::string d = std::string{char(channels >> 8), char(channels)} + BE32(frames) +
                  std::string{0, 16} + rate80 + compression;
  return "COMM" + BE32(static_cast<uint32_t>(d.size())) + d;
}
std::string Aiff(const std::string& form, const std::string& body) {
  return "FORM" + BE32(static_cast<uint32_t>(body.size() + 4)) + form + body;
}
const std::string k44100(std::string("\x40\x0E\xAC\x44\0\0\0\0\0\0", 10));

class PCMAudioTest : public MediaTest {};
// Length in ms, kbit/s and sample frames.
std::string Row(const PCMAudioInfo& i) {
  return std::to_string(i.iLength) + " " + std::to_string(i.iBitrate) + " " +
         std::to_string(i.iSampleFrames);
}

TEST_F(PCMAudioTest, CraftedWaveFiles) {
  PCMAudioInfo info;
  // A data chunk claiming more than the file holds counts as far as it goes.
  std::string body = Fmt(1, 2, 44100, 176400) + "LIST" + LE32(8) + "INFOabcd" +
                     "data" + LE32(0xFFFFFFF0) + std::string(17640, '\0');
  ASSERT_TRUE(ReadWaveInfo(Write("a.wav", Wave(body)), info));
  EXPECT_EQ(Row(info), "100 1411 4410");
  // A byte rate of 0 is worked out from the sample format.
  ASSERT_TRUE(ReadWaveInfo(Write("b.wav", Wave(Fmt(1, 1, 8000, 0) + "data" + LE32(16000) +
                                               std::string(16000, '\0'))), info));
  EXPECT_EQ(info.iLength, 1000);
  EXPECT_FALSE(ReadWaveInfo(Write("c.wav", Wave(Fmt(1, 2, 0, 0) + "data" + LE32(0))), info));
  EXPECT_FALSE(ReadWaveInfo(Write("d.wav", Wave(Fmt(1, 2, 44100, 176400))), info));
  EXPECT_FALSE(ReadWaveInfo(Write("e.wav", Wave("data" + LE32(4) + "abcd")), info));
  EXPECT_FALSE(ReadWaveInfo(Write("f.wav", "RIFF"), info) || ReadWaveInfo(dir_.string(), info));
}

TEST_F(PCMAudioTest, CraftedAiffFiles) {
  PCMAudioInfo info;
  auto sound = [](uint32_t n) { return "SSND" + BE32(8 + n) + std::string(8 + n + n % 2, '\0'); };
  const std::string ssnd = sound(11025);
  ASSERT_TRUE(ReadAiffInfo(Write("a.aiff", Aiff("AIFF", Comm(2, 88200, k44100) + sound(352800))), info));
  EXPECT_EQ(info.iSampleRate, 44100);
  EXPECT_EQ(Row(info) + " " + info.sCompression, "2000 1411 88200 NONE");
  // Uncompressed frames beyond what the sound chunk holds are not counted.
  for (uint32_t frames : {88200u, 0xFFFFFFFFu}) {
    ASSERT_TRUE(ReadAiffInfo(Write("a.aiff", Aiff("AIFF", Comm(2, frames, k44100) + ssnd)), info));
    EXPECT_EQ(Row(info), "62 1411 2756");
  }
  // Compressed AIFF-C: the bit rate follows the sound data.
  ASSERT_TRUE(ReadAiffInfo(Write("b.aifc", Aiff("AIFC", Comm(1, 44100, k44100, "ima4") + ssnd)), info));
  EXPECT_EQ(Row(info) + " " + info.sCompression, "1000 88 44100 ima4");
  // Sample rates that are not finite, zero or absurd are refused.
  for (const std::string& rate : {std::string("\x7F\xFF\x80\0\0\0\0\0\0\0", 10),
                                  std::string(10, '\0'),
                                  std::string("\x40\x40\x80\0\0\0\0\0\0\0", 10),
                                  std::string("\xC0\x0E\xAC\x44\0\0\0\0\0\0", 10)}) {
    EXPECT_FALSE(ReadAiffInfo(Write("c.aiff", Aiff("AIFF", Comm(2, 10, rate))), info));
  }
  // A chunk claiming 4 GB ends the walk; no COMM, no answer.
  EXPECT_FALSE(ReadAiffInfo(Write("d.aiff", Aiff("AIFF", "JUNK" + BE32(0xFFFFFFFF) +
                                                            Comm(2, 10, k44100))), info));
  EXPECT_FALSE(ReadAiffInfo(Write("e.aiff", Aiff("AIFF", Comm(2, 10, k44100).substr(0, 20))), info));
  EXPECT_FALSE(ReadAiffInfo(Write("f.aiff", ""), info) || ReadAiffInfo(dir_.string(), info));
}

}  // namespace
}  // namespace cadenza
