// Start delays of the audio streams of an AVI file: for each stream, its
// declared start time plus the play time of the bytes in front of the first
// compressed audio frame (AC-3 or MPEG) in its first data chunks.
#ifndef CADENZA_MEDIA_AVI_DELAY_H_
#define CADENZA_MEDIA_AVI_DELAY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cadenza {

// A stream header ("strh") as stored in the file.
struct AVIStreamHeader {
  std::string fccType;     // "auds" for audio
  std::string fccHandler;
  uint32_t dwFlags = 0;
  uint16_t wPriority = 0;
  uint16_t wLanguage = 0;
  uint32_t dwInitialFrames = 0;
  uint32_t dwScale = 0;
  uint32_t dwRate = 0;
  uint32_t dwStart = 0;
  uint32_t dwLength = 0;
  uint32_t dwSuggestedBufferSize = 0;
  uint32_t dwQuality = 0;
  uint32_t dwSampleSize = 0;
  int16_t rcFrame[4] = {0, 0, 0, 0};
};

// An audio stream format ("strf" of an audio stream) as stored in the file.
struct AVIAudioFormat {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
};

struct AVIStreamInfo {
  AVIStreamHeader header;
  AVIAudioFormat format;
  int32_t lBytesBeforeFrame = 0;  // audio bytes in front of the first frame
  // Start delay in ms; -1 while not computed; -2 when no frame was found in
  // the first 1,500,000 bytes of the stream's data.
  int32_t lDelay = -1;
};

class clsAVIDelay {
 public:
  // Walks the file (up to its first 2,500,000 bytes) and appends a record
  // per stream header. True when it is a RIFF "AVI " file and the walk met
  // no error (such as a data chunk whose stream number is not a number or
  // names no stream).
  bool OpenFile(std::string myFile);

  int32_t StreamCount() const { return m_lStreamCount; }
  // `index` counts from 0; outside 0 to StreamCount() - 1 the stream is
  // taken for a non-audio stream with the delay -1.
  bool StreamIsAudio(int32_t index) const;
  int32_t StreamDelay(int32_t index) const;

  const std::vector<AVIStreamInfo>& Streams() const { return m_aStreams; }

  // Offset of the first bytes 0x0B 0x77 (AC-3 sync), or -1.
  static int64_t FindAC3Sync(std::string_view data);
  // Offset of the first 0xFF whose next byte has both lowest bits set, or
  // -1.
  static int64_t FindMPEGSync(std::string_view data);

 private:
  std::vector<AVIStreamInfo> m_aStreams;
  int32_t m_lStreamCount = 0;
  std::string m_sFileName;
};

}  // namespace cadenza

#endif  // CADENZA_MEDIA_AVI_DELAY_H_
