#include "media/pcm_audio.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "media/riff.h"
#include "platform/file.h"

namespace cadenza {
namespace {

int32_t RoundToInt32(double v) {
  double r = std::nearbyint(v);
  if (!(r == r) || r <= 0) return 0;
  if (r >= std::numeric_limits<int32_t>::max()) {
    return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(r);
}

int32_t Saturate(int64_t v) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, 0, std::numeric_limits<int32_t>::max()));
}

uint32_t LittleEndianAt(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    size_t k = at + static_cast<size_t>(i);
    v = (v << 8) | (k < s.size() ? static_cast<uint8_t>(s[k]) : 0u);
  }
  return v;
}

uint64_t BigEndianAt(const std::string& s, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    size_t k = at + static_cast<size_t>(i);
    v = (v << 8) | (k < s.size() ? static_cast<uint8_t>(s[k]) : 0u);
  }
  return v;
}

// The value of an 80-bit IEEE 754 extended number (big-endian), or -1 when
// it is not a finite number.
double ExtendedToDouble(const std::string& s, size_t at) {
  uint64_t se = BigEndianAt(s, at, 2);
  uint64_t mantissa = BigEndianAt(s, at + 2, 8);
  int exponent = static_cast<int>(se & 0x7FFF);
  if (exponent == 0x7FFF) return -1;
  if (exponent == 0 && mantissa == 0) return 0;
  double v = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
  return (se & 0x8000) ? -v : v;
}

bool IsUncompressedAiff(const std::string& c) {
  return c == "NONE" || c == "sowt" || c == "twos" || c == "raw " ||
         c == "in24" || c == "in32" || c == "fl32" || c == "fl64" ||
         c == "FL32" || c == "FL64";
}

}  // namespace

bool ReadWaveInfo(const std::string& sFilePath, PCMAudioInfo& info) {
  clsRIFFParser riff;
  if (!riff.OpenFile(sFilePath) || riff.FileFourCC != "WAVE") return false;
  const int64_t file_size = riff.FileHandle.size();
  std::string fmt;
  bool have_fmt = false, have_data = false;
  int64_t data_size = 0;
  while (!(have_fmt && have_data)) {
    riff.GetChunk();
    if (riff.ChunkType == "list") {
      riff.SkipChunk();
      continue;
    }
    if (riff.ChunkFourCC == "fmt " && riff.ChunkSize >= 16) {
      fmt = riff.ReadData(static_cast<size_t>(std::min<int64_t>(riff.ChunkSize, 40)));
      have_fmt = fmt.size() >= 16;
    } else if (riff.ChunkFourCC == "data") {
      have_data = true;
      data_size = std::max<int64_t>(0, std::min(riff.ChunkSize, file_size - riff.Position()));
    }
    if (riff.ChunkType == "eof") break;
  }
  if (!have_fmt || !have_data) return false;

  PCMAudioInfo w;
  w.iFormatTag = static_cast<int32_t>(LittleEndianAt(fmt, 0, 2));
  w.iChannels = static_cast<int32_t>(LittleEndianAt(fmt, 2, 2));
  uint32_t rate = LittleEndianAt(fmt, 4, 4);
  uint32_t avg = LittleEndianAt(fmt, 8, 4);
  uint32_t block_align = LittleEndianAt(fmt, 12, 2);
  w.iBitsPerSample = static_cast<int32_t>(LittleEndianAt(fmt, 14, 2));
  w.iSampleRate = Saturate(rate);
  w.iFileSize = Saturate(file_size);
  if (w.iFormatTag == kWaveFormatMPEG || w.iFormatTag == kWaveFormatMPEGLayer3) {
    info.iFormatTag = w.iFormatTag;
    return false;
  }
  if (avg == 0) {
    avg = static_cast<uint32_t>(std::min<uint64_t>(
        uint64_t{rate} * static_cast<uint32_t>(w.iChannels) *
            static_cast<uint32_t>(w.iBitsPerSample) / 8,
        std::numeric_limits<uint32_t>::max()));
  }
  if (avg == 0 || rate == 0) return false;
  if (block_align != 0) w.iSampleFrames = data_size / block_align;
  w.iBitrate = RoundToInt32(avg * 8.0 / 1000.0);
  w.iLength = RoundToInt32(static_cast<double>(data_size) * 1000.0 / avg);
  w.sCompression.clear();
  info = w;
  return true;
}

bool ReadAiffInfo(const std::string& sFilePath, PCMAudioInfo& info) {
  RandomAccessFile file;
  if (!file.Open(sFilePath)) return false;
  std::string h = file.ReadAt(0, 12);
  if (h.size() < 12 || h.compare(0, 4, "FORM") != 0) return false;
  std::string form = h.substr(8, 4);
  if (form != "AIFF" && form != "AIFC") return false;

  const int64_t size = file.size();
  std::string comm;
  int64_t sound_bytes = -1;
  int64_t pos = 12;
  while (pos + 8 <= size) {
    std::string ch = file.ReadAt(pos, 8);
    if (ch.size() < 8) break;
    int64_t len = static_cast<int64_t>(BigEndianAt(ch, 4, 4));
    std::string id = ch.substr(0, 4);
    if (id == "COMM" && comm.empty()) {
      comm = file.ReadAt(pos + 8, static_cast<size_t>(std::min<int64_t>(len, 64)));
    } else if (id == "SSND" && sound_bytes < 0) {
      // Offset and block size (8 bytes) come before the sample data.
      sound_bytes = std::max<int64_t>(0, std::min(len, size - pos - 8) - 8);
    }
    pos += 8 + len + (len % 2);
  }
  if (comm.size() < 18) return false;

  PCMAudioInfo a;
  a.iChannels = static_cast<int16_t>(BigEndianAt(comm, 0, 2));
  a.iSampleFrames = static_cast<int64_t>(BigEndianAt(comm, 2, 4));
  a.iBitsPerSample = static_cast<int16_t>(BigEndianAt(comm, 6, 2));
  double rate = ExtendedToDouble(comm, 8);
  if (!(rate >= 1 && rate <= 1e7)) return false;
  a.sCompression = form == "AIFC" && comm.size() >= 22 ? comm.substr(18, 4) : "NONE";
  a.iSampleRate = RoundToInt32(rate);
  // Uncompressed samples cannot outnumber what the sound chunk holds; a
  // COMM chunk claiming 2^32 frames would otherwise give weeks of play.
  const int64_t frame_bytes =
      int64_t{std::max(0, a.iChannels)} * ((std::max(0, a.iBitsPerSample) + 7) / 8);
  if (IsUncompressedAiff(a.sCompression) && sound_bytes >= 0 && frame_bytes > 0) {
    a.iSampleFrames = std::min(a.iSampleFrames, sound_bytes / frame_bytes);
  }
  double seconds = static_cast<double>(a.iSampleFrames) / rate;
  a.iLength = RoundToInt32(seconds * 1000.0);
  if (IsUncompressedAiff(a.sCompression) || sound_bytes < 0 || seconds <= 0) {
    a.iBitrate = RoundToInt32(rate * std::max(0, int{a.iChannels}) *
                              std::max(0, int{a.iBitsPerSample}) / 1000.0);
  } else {
    a.iBitrate = RoundToInt32(static_cast<double>(sound_bytes) * 8.0 / seconds / 1000.0);
  }
  a.iFileSize = Saturate(size);
  info = a;
  return true;
}

}  // namespace cadenza
