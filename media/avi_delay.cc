#include "media/avi_delay.h"

#include <cmath>
#include <limits>

#include "media/riff.h"

namespace cadenza {
namespace {

// The walk stops once it has passed this many bytes of the file.
constexpr int64_t kWalkLimit = 2'500'000;
// Audio data searched for a first frame before the stream is given up.
constexpr int64_t kSearchLimit = 1'500'000;

constexpr uint16_t kFormatAC3 = 0x2000;
constexpr uint16_t kFormatMPEG = 0x50;
constexpr uint16_t kFormatMPEGLayer3 = 0x55;

int32_t RoundToInt32(double v) {
  double r = std::nearbyint(v);
  if (!(r == r)) return 0;
  if (r >= std::numeric_limits<int32_t>::max()) {
    return std::numeric_limits<int32_t>::max();
  }
  if (r <= std::numeric_limits<int32_t>::min()) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(r);
}

// Little-endian reader over a chunk's data, which the caller has padded
// with zeros to the size of the record read.
class LittleEndianReader {
 public:
  explicit LittleEndianReader(std::string_view data) : data_(data) {}
  uint8_t Byte() { return static_cast<uint8_t>(data_[pos_++]); }
  uint16_t U16() {
    uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  uint32_t U32() {
    uint32_t lo = U16();
    return lo | (uint32_t{U16()} << 16);
  }
  std::string FourCC() {
    std::string s(data_.substr(pos_, 4));
    pos_ += 4;
    return s;
  }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

constexpr size_t kStreamHeaderSize = 56;
constexpr size_t kAudioFormatSize = 18;

AVIStreamHeader ParseStreamHeader(std::string data) {
  data.resize(kStreamHeaderSize, '\0');
  LittleEndianReader r(data);
  AVIStreamHeader h;
  h.fccType = r.FourCC();
  h.fccHandler = r.FourCC();
  h.dwFlags = r.U32();
  h.wPriority = r.U16();
  h.wLanguage = r.U16();
  h.dwInitialFrames = r.U32();
  h.dwScale = r.U32();
  h.dwRate = r.U32();
  h.dwStart = r.U32();
  h.dwLength = r.U32();
  h.dwSuggestedBufferSize = r.U32();
  h.dwQuality = r.U32();
  h.dwSampleSize = r.U32();
  for (auto& v : h.rcFrame) v = static_cast<int16_t>(r.U16());
  return h;
}

AVIAudioFormat ParseAudioFormat(std::string data) {
  data.resize(kAudioFormatSize, '\0');
  LittleEndianReader r(data);
  AVIAudioFormat f;
  f.wFormatTag = r.U16();
  f.nChannels = r.U16();
  f.nSamplesPerSec = r.U32();
  f.nAvgBytesPerSec = r.U32();
  f.nBlockAlign = r.U16();
  f.wBitsPerSample = r.U16();
  f.cbSize = r.U16();
  return f;
}

// The declared start time of a stream in ms, before rounding.
double StartTimeMs(const AVIStreamHeader& h) {
  return static_cast<double>(h.dwStart) * h.dwScale / h.dwRate * 1000.0;
}

}  // namespace

int64_t clsAVIDelay::FindAC3Sync(std::string_view data) {
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (static_cast<uint8_t>(data[i]) == 0x0B &&
        static_cast<uint8_t>(data[i + 1]) == 0x77) {
      return static_cast<int64_t>(i);
    }
  }
  return -1;
}

int64_t clsAVIDelay::FindMPEGSync(std::string_view data) {
  // An MPEG audio frame starts with eleven set bits.
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (static_cast<uint8_t>(data[i]) == 0xFF &&
        (static_cast<uint8_t>(data[i + 1]) & 0xE0) == 0xE0) {
      return static_cast<int64_t>(i);
    }
  }
  return -1;
}

bool clsAVIDelay::StreamIsAudio(int32_t index) const {
  if (index < 0 || index >= m_lStreamCount) return false;
  return m_aStreams[static_cast<size_t>(index)].header.fccType == "auds";
}

int32_t clsAVIDelay::StreamDelay(int32_t index) const {
  if (index < 0 || index >= m_lStreamCount) return -1;
  return m_aStreams[static_cast<size_t>(index)].lDelay;
}

bool clsAVIDelay::OpenFile(std::string myFile) {
  clsRIFFParser riff;
  if (!riff.OpenFile(myFile) || riff.FileFourCC != "AVI ") return false;

  while (true) {
    riff.GetChunk();
    const std::string& id = riff.ChunkFourCC;
    if (riff.ChunkType == "chunk" && id == "strh") {
      AVIStreamInfo s;
      s.header = ParseStreamHeader(riff.ReadData(kStreamHeaderSize));
      if (s.header.dwRate == 0) s.header.dwRate = 1;
      if (s.format.nAvgBytesPerSec == 0) s.format.nAvgBytesPerSec = 1;
      m_aStreams.push_back(std::move(s));
      m_lStreamCount = static_cast<int32_t>(m_aStreams.size());
    } else if (riff.ChunkType == "chunk" && id == "strf") {
      if (!m_aStreams.empty() && m_aStreams.back().header.fccType == "auds") {
        AVIAudioFormat& f = m_aStreams.back().format;
        f = ParseAudioFormat(riff.ReadData(kAudioFormatSize));
        // A zero rate would leave nothing to divide the byte count by.
        if (f.nAvgBytesPerSec == 0) f.nAvgBytesPerSec = 1;
      }
    } else if (riff.ChunkType == "chunk" && id.size() == 4 &&
               id.compare(2, 2, "wb") == 0) {
      if (id[0] < '0' || id[0] > '9' || id[1] < '0' || id[1] > '9') {
        return false;
      }
      size_t n = static_cast<size_t>(id[0] - '0') * 10 + static_cast<size_t>(id[1] - '0');
      if (n >= m_aStreams.size()) return false;
      AVIStreamInfo& s = m_aStreams[n];
      if (s.lDelay == -1) {
        uint16_t tag = s.format.wFormatTag;
        int64_t size = riff.ChunkSize;
        if (size >= 1 && (tag == kFormatAC3 || tag == kFormatMPEG ||
                          tag == kFormatMPEGLayer3)) {
          int64_t before = s.lBytesBeforeFrame;
          // A chunk larger than the search limit gives -2 in any case, so
          // it is not read.
          if (size <= kSearchLimit) {
            std::string data = riff.ReadData(static_cast<size_t>(size));
            int64_t k = tag == kFormatAC3 ? FindAC3Sync(data)
                                          : FindMPEGSync(data);
            if (k >= 0) {
              before += k;
              s.lDelay = RoundToInt32(static_cast<double>(before) /
                                      s.format.nAvgBytesPerSec * 1000.0);
              s.lDelay += RoundToInt32(StartTimeMs(s.header));
            }
          }
          before += size;
          if (before > kSearchLimit) s.lDelay = -2;
          s.lBytesBeforeFrame = static_cast<int32_t>(
              std::min<int64_t>(before, std::numeric_limits<int32_t>::max()));
        } else {
          s.lDelay = RoundToInt32(StartTimeMs(s.header) + s.lDelay);
        }
      }
    }
    if (riff.ChunkType == "eof" || riff.Position() > kWalkLimit) break;
  }
  m_sFileName = std::move(myFile);
  return true;
}

}  // namespace cadenza
