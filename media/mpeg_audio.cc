#include "media/mpeg_audio.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "media/id3.h"

namespace cadenza {
namespace {

// The sync search reads the file in pieces of this size. A candidate is
// judged only while the piece holds kLookahead bytes behind it (or reaches
// the end of the file): enough for the longest frame (2,881 bytes, layer II
// of MPEG-2 at 160 kbit/s and 8 kHz) and the mark behind it, and for the
// window in which a free-format header has to repeat.
constexpr size_t kSearchBlock = 64 * 1024;
constexpr size_t kLookahead = 4096;
constexpr size_t kFreeFormatWindow = 2000;
// Each free-format check scans up to kFreeFormatWindow bytes, and junk can
// hold a candidate every few bytes; only this many are checked per search.
constexpr int kFreeFormatChecks = 64;
// A VBR header counts bytes of the stream; this much beyond the file size
// is still taken (a tag the encoder counted, a file cut short by a few
// frames).
constexpr int64_t kVBRByteSlack = 4096;
// A frame holds at least this many bytes; a VBR header claiming more frames
// than the file can hold at this size is not believed.
constexpr int64_t kMinFrameBytes = 20;

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

// The fields of a four-byte frame header that the search and the decoder
// go by.
struct Header {
  int version = 0;        // 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5
  int layer = 0;          // 1 to 3
  int bitrate_index = 0;  // 0 free format, 1 to 14
  int32_t sample_rate = 0;
  int padding = 0;
};

// Decodes a frame header: sync, a valid version and layer, a bit-rate index
// other than 15 and a sample-rate index other than 3. Anything else is
// taken for stray bytes and the search goes on.
bool ParseHeader(const uint8_t* b, Header& h) {
  if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return false;
  static const int kVersions[] = {3, 0, 2, 1};
  static const int kLayers[] = {0, 3, 2, 1};
  h.version = kVersions[(b[1] >> 3) & 3];
  h.layer = kLayers[(b[1] >> 1) & 3];
  h.bitrate_index = b[2] >> 4;
  int rate_index = (b[2] >> 2) & 3;
  if (h.version == 0 || h.layer == 0 || h.bitrate_index == 15 || rate_index == 3) return false;
  static const int32_t kRates[] = {44100, 48000, 32000};
  h.sample_rate = kRates[rate_index] / (h.version == 3 ? 4 : h.version);
  h.padding = (b[2] >> 1) & 1;
  return true;
}

// Length in bytes of the frame a header with a bit rate describes.
int64_t FrameLength(const Header& h) {
  const int64_t bits_per_second = int64_t{BitrateFor(h.version, h.layer, h.bitrate_index)} * 1000;
  if (h.layer == 1) return (12 * bits_per_second / h.sample_rate + h.padding) * 4;
  const int64_t factor = h.layer == 3 && h.version != 1 ? 72 : 144;
  return factor * bits_per_second / h.sample_rate + h.padding;
}

// Whether the candidate header at `b` starts a real frame. `avail` bytes
// from `b` on are at hand; `eof` says they reach the end of the file. A
// frame must fit and be followed by a header of the same stream, by the
// end of the file or by an ID3v1 or APE tag. A free-format header has to
// repeat within kFreeFormatWindow bytes; the padding bit and the mode
// extension (which joint stereo changes from frame to frame) may differ.
bool IsFrameStart(const uint8_t* b, size_t avail, bool eof, int& free_checks) {
  Header h;
  if (!ParseHeader(b, h)) return false;
  if (h.bitrate_index == 0) {
    if (free_checks <= 0) return false;
    --free_checks;
    const size_t last = std::min(avail, kFreeFormatWindow + 4) - 4;
    for (size_t j = 4; j <= last; ++j) {
      const uint8_t* n = b + j;
      if (n[0] == b[0] && n[1] == b[1] && (n[2] & 0xFD) == (b[2] & 0xFD) &&
          (n[3] & 0xCF) == (b[3] & 0xCF)) {
        return true;
      }
    }
    return false;
  }
  const int64_t length = FrameLength(h);
  if (length < 4 || static_cast<uint64_t>(length) > avail) return false;
  const size_t rest = avail - static_cast<size_t>(length);
  const uint8_t* next = b + length;
  if (rest == 0) return eof;
  Header n;
  if (rest >= 4 && ParseHeader(next, n) && n.version == h.version && n.layer == h.layer &&
      n.sample_rate == h.sample_rate) {
    return true;
  }
  if (eof && rest == 128 && next[0] == 'T' && next[1] == 'A' && next[2] == 'G') return true;
  return rest >= 8 && std::equal(next, next + 8, "APETAGEX");
}

// Offset of the first frame at or after `start`, or -1.
int64_t FindFrameHeader(const RandomAccessFile& file, int64_t start,
                        uint8_t header[4]) {
  int64_t size = file.size();
  std::vector<uint8_t> buf(kSearchBlock);
  int free_checks = kFreeFormatChecks;
  int64_t pos = start;
  while (pos <= size - 4) {
    int64_t got = file.ReadAt(pos, buf.data(), buf.size());
    if (got < 4) return -1;
    size_t n = static_cast<size_t>(got);
    // A short read is the end of the file, even when it shrank meanwhile.
    const bool eof = n < buf.size() || pos + got >= size;
    const size_t scan = eof ? n - 3 : n - kLookahead;
    for (size_t i = 0; i < scan; ++i) {
      if (buf[i] == 0xFF && IsFrameStart(buf.data() + i, n - i, eof, free_checks)) {
        std::copy_n(buf.data() + i, 4, header);
        return pos + static_cast<int64_t>(i);
      }
    }
    if (eof) return -1;
    pos += static_cast<int64_t>(scan);
  }
  return -1;
}

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
         (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

bool DecodeFrame(const RandomAccessFile& file, int64_t frame_pos,
                 const uint8_t b[4], MPEGAudioInfo& info) {
  Header h;
  if (!ParseHeader(b, h)) return false;
  static const char* const kVersionNames[] = {"", "version 1", "version 2", "version 2.5"};
  info.sVersionLayer = std::string(kVersionNames[h.version]) + " layer " + std::to_string(h.layer);
  info.bProtected = (b[1] & 1) == 0;
  const int samples = h.layer == 1 ? 384 : (h.layer == 3 && h.version != 1 ? 576 : 1152);

  int mode = b[3] >> 6;
  static const char* const kModes[] = {"Stereo", "Joint stereo",
                                       "Dual channel", "Mono"};
  info.sChannelMode = kModes[mode];
  int side_info = mode != 3 ? (h.version == 1 ? 32 : 17) : (h.version == 1 ? 17 : 9);

  info.iSampleRate = h.sample_rate;
  const double sample_rate = h.sample_rate;

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
  // Counts the file cannot hold come from a broken or foreign header; the
  // estimate from the file size is better than a play time of years.
  const int64_t size = file.size();
  if (frames > (size - frame_pos) / kMinFrameBytes || bytes > size + kVBRByteSlack) {
    frames = bytes = 0;
  }

  if (frames != 0 && bytes != 0) {
    info.bVBR = true;
    info.iBitrate = RoundToInt32(static_cast<double>(bytes) / frames /
                                 samples / 125.0 * sample_rate);
    info.iDuration =
        RoundToInt32(static_cast<double>(frames) / sample_rate * samples);
  } else {
    info.bVBR = false;
    // Index 0 is free format: no bit rate to go by, so neither bit rate
    // nor play time is written.
    if (h.bitrate_index != 0) {
      info.iBitrate = BitrateFor(h.version, h.layer, h.bitrate_index);
      info.iDuration =
          RoundToInt32(static_cast<double>(size - frame_pos) /
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
