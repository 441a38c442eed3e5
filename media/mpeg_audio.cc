#include "media/mpeg_audio.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "media/id3.h"

namespace cadenza {
namespace {

// The sync search reads the file in pieces of this size.
constexpr size_t kSearchBlock = 64 * 1024;

// Rounds to the nearest integer, halves to even, and saturates to int32.
int32_t RoundToInt32(double v) {
  double r = std::nearbyint(v);
  if (!(r == r)) return 0;
  if (r >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  if (r <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(r);
}

// Bit rate in kbit/s for index 1 to 14 of the given version code (1 for
// MPEG-1, 2 and 3 for MPEG-2 and 2.5) and layer.
int32_t BitrateFor(int version, int layer, int i) {
  if (version == 1) {
    switch (layer) {
      case 1:
        return 32 * i;
      case 2:
        if (i == 1) return 32;
        if (i == 2) return 48;
        if (i <= 4) return 48 + 8 * (i - 2);
        if (i <= 8) return 64 + 16 * (i - 4);
        if (i <= 12) return 128 + 32 * (i - 8);
        return 256 + 64 * (i - 12);
      default:
        if (i == 1) return 32;
        if (i <= 5) return 32 + 8 * (i - 1);
        if (i <= 9) return 64 + 16 * (i - 5);
        if (i <= 13) return 128 + 32 * (i - 9);
        return 320;
    }
  }
  if (layer == 1) {
    if (i == 1) return 32;
    if (i == 2) return 48;
    if (i <= 4) return 48 + 8 * (i - 2);
    if (i <= 12) return 64 + 16 * (i - 4);
    return 192 + 32 * (i - 12);
  }
  if (i <= 8) return 8 * i;
  return 64 + 16 * (i - 8);
}

// A frame header: sync, a valid version and layer, a bit-rate index other
// than 15 and a sample-rate index other than 3. Anything else is taken for
// stray bytes and the search goes on.
bool IsFrameHeader(const uint8_t* b) {
  if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return false;
  if (((b[1] >> 3) & 3) == 1) return false;
  if (((b[1] >> 1) & 3) == 0) return false;
  if ((b[2] >> 4) == 15) return false;
  if (((b[2] >> 2) & 3) == 3) return false;
  return true;
}

// Offset of the first frame header at or after `start`, or -1.
int64_t FindFrameHeader(const RandomAccessFile& file, int64_t start,
                        uint8_t header[4]) {
  int64_t size = file.size();
  std::vector<uint8_t> buf(kSearchBlock);
  int64_t pos = start;
  while (pos <= size - 4) {
    int64_t got = file.ReadAt(pos, buf.data(), buf.size());
    if (got < 4) return -1;
    size_t n = static_cast<size_t>(got);
    for (size_t i = 0; i + 4 <= n; ++i) {
      if (buf[i] == 0xFF && IsFrameHeader(buf.data() + i)) {
        std::copy_n(buf.data() + i, 4, header);
        return pos + static_cast<int64_t>(i);
      }
    }
    // The last three bytes start the next piece.
    pos += got - 3;
  }
  return -1;
}

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
         (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

bool DecodeFrame(const RandomAccessFile& file, int64_t frame_pos,
                 const uint8_t b[4], MPEGAudioInfo& info) {
  int version;  // 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5
  switch ((b[1] >> 3) & 3) {
    case 0:
      version = 3;
      info.sVersionLayer = "version 2.5";
      break;
    case 2:
      version = 2;
      info.sVersionLayer = "version 2";
      break;
    case 3:
      version = 1;
      info.sVersionLayer = "version 1";
      break;
    default:
      return false;
  }
  int layer, samples;
  switch ((b[1] >> 1) & 3) {
    case 1:
      layer = 3;
      samples = version == 1 ? 1152 : 576;
      break;
    case 2:
      layer = 2;
      samples = 1152;
      break;
    case 3:
      layer = 1;
      samples = 384;
      break;
    default:
      return false;
  }
  info.sVersionLayer += " layer " + std::to_string(layer);
  info.bProtected = (b[1] & 1) == 0;

  int mode = b[3] >> 6;
  static const char* const kModes[] = {"Stereo", "Joint stereo",
                                       "Dual channel", "Mono"};
  info.sChannelMode = kModes[mode];
  int side_info = mode != 3 ? (version == 1 ? 32 : 17) : (version == 1 ? 17 : 9);

  static const int kRates[] = {44100, 48000, 32000, 0};
  int base_rate = kRates[(b[2] >> 2) & 3];
  info.iSampleRate = RoundToInt32(static_cast<double>(base_rate) /
                                  (version == 3 ? 4 : version));
  double sample_rate = info.iSampleRate;

  uint32_t frames = 0, bytes = 0;
  uint8_t x[18] = {};
  if (file.ReadAt(frame_pos + 4 + side_info, x, 16) == 16 &&
      ((x[0] == 'X' && x[1] == 'i' && x[2] == 'n' && x[3] == 'g') ||
       (x[0] == 'I' && x[1] == 'n' && x[2] == 'f' && x[3] == 'o')) &&
      (x[7] & 0x01) != 0) {
    frames = BigEndian32(x + 8);
    if (x[7] & 0x02) bytes = BigEndian32(x + 12);
  }
  if (file.ReadAt(frame_pos + 36, x, 18) == 18 && x[0] == 'V' &&
      x[1] == 'B' && x[2] == 'R' && x[3] == 'I') {
    bytes = BigEndian32(x + 10);
    frames = BigEndian32(x + 14);
  }

  if (frames != 0 && bytes != 0 && sample_rate > 0) {
    info.bVBR = true;
    info.iBitrate = RoundToInt32(static_cast<double>(bytes) / frames /
                                 samples / 125.0 * sample_rate);
    info.iDuration =
        RoundToInt32(static_cast<double>(frames) / sample_rate * samples);
  } else {
    info.bVBR = false;
    int index = b[2] >> 4;
    // Index 0 is free format: no bit rate to go by, so neither bit rate
    // nor play time is written.
    if (index >= 1 && index <= 14) {
      info.iBitrate = BitrateFor(version, layer, index);
      info.iDuration =
          RoundToInt32(static_cast<double>(file.size() - frame_pos) /
                       (info.iBitrate * 125.0));
    }
  }

  info.bRightsFlag = (b[3] & 0x08) != 0;
  info.bOriginal = (b[3] & 0x04) != 0;
  info.bEmphasis = (b[3] & 0x03) != 0;
  return true;
}

}  // namespace

int64_t GetAudioDataStart(const RandomAccessFile& file, int64_t iOffset) {
  uint8_t h[10];
  if (file.ReadAt(iOffset, h, 10) != 10) return 0;
  if (h[0] != 'I' || h[1] != 'D' || h[2] != '3') return 0;
  bool overflow = false;
  int64_t size = ReadTagInteger(h + 6, true, &overflow);
  if (overflow) return 0;
  return size + ((h[3] >= 4 && (h[5] & 0x10) != 0) ? 20 : 10);
}

bool ReadMPEGAudioInfo(const std::string& sFilePath, MPEGAudioInfo& info) {
  RandomAccessFile file;
  if (!file.Open(sFilePath)) return false;
  int64_t start = GetAudioDataStart(file, 0);
  int64_t size = file.size();
  if (size < 4) return false;

  bool result = false;
  uint8_t header[4];
  int64_t frame_pos = FindFrameHeader(file, start, header);
  if (frame_pos >= 0) result = DecodeFrame(file, frame_pos, header, info);

  info.iID3v1Revision = -1;
  if (size >= 128) {
    uint8_t t[128];
    if (file.ReadAt(size - 128, t, 128) == 128 && t[0] == 'T' &&
        t[1] == 'A' && t[2] == 'G') {
      info.iID3v1Revision = (t[125] == 0 && t[126] != 0) ? 1 : 0;
    }
  }
  info.iID3v2Version = -1;
  uint8_t h[4];
  if (file.ReadAt(0, h, 4) == 4 && h[0] == 'I' && h[1] == 'D' && h[2] == '3') {
    info.iID3v2Version = h[3];
  }
  info.iFileSize = static_cast<int32_t>(
      std::min<int64_t>(size, std::numeric_limits<int32_t>::max()));
  return result;
}

}  // namespace cadenza
