#include "media/mpeg_audio.h"

#include <unistd.h>

#include <cmath>

#include "media/media_test_util.h"

namespace cadenza {
namespace {

using namespace testutil;
using namespace std::string_literals;

// MPEG-1 layer III, 128 kbit/s, 44100 Hz, stereo, no CRC.
const std::string kHeader128 = BE32(0xFFFB9000);

class MPEGAudioTest : public MediaTest {
 public:
  // Reads `bytes` padded with zeros to `size`; every field starts at a
  // sentinel so that unwritten fields show.
  bool Read(std::string bytes, MPEGAudioInfo& info, size_t size = 0) {
    if (bytes.size() < size) bytes.resize(size, '\0');
    info = MPEGAudioInfo();
    info.iBitrate = info.iDuration = info.iSampleRate = info.iFileSize = 77;
    info.iID3v1Revision = info.iID3v2Version = 77;
    return ReadMPEGAudioInfo(Write("a.mp3", bytes), info);
  }
  // Version and layer, channel mode, bit rate, sample rate, play time and
  // VBR, or "no frame".
  std::string Describe(const std::string& bytes, size_t size) {
    MPEGAudioInfo info;
    if (!Read(bytes, info, size)) return "no frame";
    return info.sVersionLayer + "|" + info.sChannelMode + "|" + std::to_string(info.iBitrate) +
           "|" + std::to_string(info.iSampleRate) + "|" + std::to_string(info.iDuration) + "|" +
           (info.bVBR ? "VBR" : "CBR");
  }
  // A frame of `length` bytes with a VBR header `vbr` at `offset` behind
  // the frame start, then the next frame's header, in a file of `size`.
  static std::string WithVBR(const std::string& header, size_t offset, const std::string& vbr,
                             size_t length = 417, size_t size = 418000) {
    std::string s = header + std::string(offset - 4, '\0') + vbr;
    s.resize(length, '\0');
    s += header;
    s.resize(size, '\0');
    return s;
  }
};

TEST_F(MPEGAudioTest, AudioStartsBehindTheID3v2Tag) {
  // Tag header and where the audio starts; only version 4 has a footer.
  const std::pair<std::string, int64_t> starts[] = {{"ID3\x03\0\0"s + SyncSafe(1000), 1010},
                                                    {"ID3\x04\0\x10"s + SyncSafe(1000), 1020},
                                                    {"ID3\x03\0\x10"s + SyncSafe(1000), 1010},
                                                    {"ID3\x04", 0},
                                                    {kHeader128, 0}};
  for (const auto& [bytes, start] : starts) {
    RandomAccessFile f(Write("s", bytes));
    EXPECT_EQ(GetAudioDataStart(f, 0), start);
  }
  // A sync pattern inside the tag is not taken.
  MPEGAudioInfo info;
  ASSERT_TRUE(
      Read(starts[0].first + kHeader128 + std::string(996, '\0') + BE32(0xFFF340C0), info, 1114));
  EXPECT_EQ(info.sVersionLayer + " " + std::to_string(info.iID3v2Version), "version 2 layer 3 3");
}

TEST_F(MPEGAudioTest, HeadersAndVBRHeaders) {
  const std::string xing = "Xing" + BE32(3) + BE32(1000) + BE32(418000);
  // VBRI (Fraunhofer): bytes at 10, frames at 14, 36 bytes behind the start.
  const std::string vbri = "VBRI" + std::string(6, '\0') + BE32(209000) + BE32(1000);
  std::string xing_then_vbri = WithVBR(BE32(0xFFF340C0), 13, xing, 104);
  xing_then_vbri.replace(36, vbri.size(), vbri);
  // (Plain CBR play time, version 2.5, layer II and lame's "Info" header:
  // MPEGFixtureTest.)
  const std::tuple<std::string, size_t, std::string> cases[] = {
      // A lone frame is taken when it ends exactly at the end of the file:
      // the sizes are the frame lengths (padding adds a byte, or a word in
      // layer I). One byte more or less and there is no frame.
      {BE32(0xFFF340C0), 104, "version 2 layer 3|Mono|32|22050|0|CBR"},
      {BE32(0xFFFEE800), 672, "version 1 layer 1|Stereo|448|32000|0|CBR"},
      {BE32(0xFFFEEA00), 676, "version 1 layer 1|Stereo|448|32000|0|CBR"},
      {BE32(0xFFFB9200), 418, "version 1 layer 3|Stereo|128|44100|0|CBR"},
      {BE32(0xFFFB9200), 417, "no frame"},
      {BE32(0xFFFB9200), 419, "no frame"},
      // False syncs in junk: a frame followed by zeros, or by a header of
      // another version, is passed over.
      {kHeader128 + std::string(600, '\0') + BE32(0xFFF340C0), 708,
       "version 2 layer 3|Mono|32|22050|0|CBR"},
      {kHeader128 + std::string(413, '\0') + BE32(0xFFF340C0), 521,
       "version 2 layer 3|Mono|32|22050|0|CBR"},
      {WithVBR(kHeader128, 36, xing), 0, "version 1 layer 3|Stereo|128|44100|26|VBR"},
      // Mono MPEG-1 keeps the header 21 bytes behind the frame start.
      {WithVBR(BE32(0xFFFB90C0), 21, xing), 0, "version 1 layer 3|Mono|128|44100|26|VBR"},
      {WithVBR(kHeader128, 21, xing), 0, "version 1 layer 3|Stereo|128|44100|26|CBR"},
      {WithVBR(BE32(0xFFF340C0), 36, vbri, 104), 0, "version 2 layer 3|Mono|64|22050|26|VBR"},
      // A VBRI header replaces the counts of a Xing header.
      {xing_then_vbri, 0, "version 2 layer 3|Mono|64|22050|26|VBR"},
      // Bit-rate index 15, sample-rate index 3, version code 1 and layer 0
      // are passed over; the search goes on to the real header.
      {BE32(0xFFFBF000) + BE32(0xFFFB9C00) + BE32(0xFFEB9000) + BE32(0xFFF99000) + BE32(0xFFF340C0),
       120, "version 2 layer 3|Mono|32|22050|0|CBR"},
      // Free format (index 0) counts when the header repeats within 2,000
      // bytes (padding aside). Without a VBR header, or with a zero frame
      // count, bit rate and play time are not written.
      {BE32(0xFFFB0000) + std::string(1500, '\0') + BE32(0xFFFB0200), 3000,
       "version 1 layer 3|Stereo|77|44100|77|CBR"},
      {BE32(0xFFFB0000) + std::string(2100, '\0') + BE32(0xFFFB0000), 3000, "no frame"},
      {WithVBR(BE32(0xFFFB0000), 36, "Xing" + BE32(3) + BE32(0) + BE32(9)), 0,
       "version 1 layer 3|Stereo|77|44100|77|CBR"},
      // Counts the file cannot hold are ignored: the size gives the time.
      {WithVBR(kHeader128, 36, "Xing" + BE32(3) + BE32(1) + BE32(0xFFFFFFFF)), 0,
       "version 1 layer 3|Stereo|128|44100|26|CBR"},
      {WithVBR(BE32(0xFFF340C0), 36, "VBRI" + std::string(6, '\0') + BE32(20000) + BE32(0xFFFFFFFF),
               104, 40000),
       0, "version 2 layer 3|Mono|32|22050|10|CBR"},
  };
  for (const auto& [bytes, size, want] : cases) EXPECT_EQ(Describe(bytes, size), want);

  // Flag bits; no tags.
  MPEGAudioInfo info;
  ASSERT_TRUE(Read(kHeader128, info, 417));
  EXPECT_FALSE(info.bProtected || info.bRightsFlag || info.bOriginal || info.bEmphasis);
  EXPECT_EQ(std::to_string(info.iID3v1Revision) + " " + std::to_string(info.iID3v2Version),
            "-1 -1");
  ASSERT_TRUE(Read(BE32(0xFFFA900F), info, 417));
  EXPECT_TRUE(info.bProtected && info.bRightsFlag && info.bOriginal && info.bEmphasis);
}

TEST_F(MPEGAudioTest, SearchCrossesReadPiecesTagsAndBadFiles) {
  MPEGAudioInfo info;
  // The run of 0xFF bytes before the header holds no valid one (index 15).
  for (size_t at : {65533u, 65535u, 65536u, 131069u}) {
    ASSERT_TRUE(Read(std::string(at, '\xFF') + kHeader128, info, at + 417)) << at;
    EXPECT_EQ(std::to_string(info.iDuration) + " " + std::to_string(info.iBitrate), "0 128") << at;
  }
  EXPECT_FALSE(Read(std::string(200000, '\xFF'), info));
  // The frame ends where an ID3v1(.1) tag starts.
  for (int revision : {0, 1}) {
    std::string v1 = "TAG" + std::string(122, 'x') + '\0' + char(revision * 5) + '\x11';
    ASSERT_TRUE(Read(kHeader128 + std::string(413, '\0') + v1, info));
    EXPECT_EQ(info.iID3v1Revision, revision);
  }
  // No frame: False, but tag and size fields are written.
  EXPECT_FALSE(Read("ID3\x04\0\0"s + SyncSafe(20) + std::string(200, 'a'), info));
  EXPECT_EQ(std::to_string(info.iID3v2Version) + " " + std::to_string(info.iFileSize) + " " +
                info.sVersionLayer + "|" + std::to_string(info.iBitrate),
            "4 210 |77");
  // A tag whose size reaches beyond the file: the search finds nothing.
  EXPECT_FALSE(Read("ID3\x03\0\0"s + SyncSafe(0x0FFFFFFF) + kHeader128, info));
  // Too short, missing, a folder: nothing written.
  EXPECT_FALSE(Read("\xFF\xFB\x90", info));
  for (const auto& bad : {dir_ / "missing", dir_})
    EXPECT_FALSE(ReadMPEGAudioInfo(bad.string(), info));
  EXPECT_EQ(info.iFileSize, 77);
}

TEST(MPEGFixtureTest, AgreesWithFFprobe) {
  auto probe = ProbeResults();
  // lame's "Info" header of CBR files counts as a VBR header.
  const std::pair<const char*, const char*> wants[] = {
      {"mp1l3_cbr128_noinfo.mp3", "version 1 layer 3|Joint stereo|CBR"},
      {"mp1l3_vbr_mono.mp3", "version 1 layer 3|Mono|VBR"},
      {"mp2l3_cbr64_stereo.mp3", "version 2 layer 3|Joint stereo|VBR"},
      {"mp25l3_cbr32_stereo.mp3", "version 2.5 layer 3|Joint stereo|CBR"},
      {"mp1l2_cbr192_stereo.mp2", "version 1 layer 2|Stereo|CBR"},
      {"mp2l2_cbr64_stereo.mp2", "version 2 layer 2|Stereo|CBR"}};
  for (const auto& [file, want] : wants) {
    SCOPED_TRACE(file);
    const ProbeResult& p = probe.at(file);
    MPEGAudioInfo info;
    ASSERT_TRUE(ReadMPEGAudioInfo(Fixture(file), info));
    EXPECT_EQ(info.sVersionLayer + "|" + info.sChannelMode + "|" + (info.bVBR ? "VBR" : "CBR"),
              want);
    EXPECT_EQ(info.iSampleRate, p.sample_rate);
    // ffprobe's VBR bit rate is an average of its own.
    EXPECT_NEAR(info.iBitrate, p.bit_rate / 1000.0, info.bVBR ? p.bit_rate / 10000.0 : 0.5);
    EXPECT_NEAR(info.iDuration, p.duration, 0.5);
  }
}

}  // namespace
}  // namespace cadenza
