// Stream parameters of uncompressed audio files: RIFF WAVE (from its "fmt "
// and "data" chunks) and AIFF / AIFF-C (from its "COMM" chunk).
#ifndef CADENZA_MEDIA_PCM_AUDIO_H_
#define CADENZA_MEDIA_PCM_AUDIO_H_

#include <cstdint>
#include <string>

namespace cadenza {

struct PCMAudioInfo {
  int32_t iFormatTag = 0;      // WAVE format tag (1 = PCM); 0 for AIFF
  std::string sCompression;    // AIFF-C compression type ("NONE" for AIFF)
  int32_t iChannels = 0;
  int32_t iBitsPerSample = 0;
  int64_t iSampleFrames = 0;
  int32_t iSampleRate = 0;     // Hz
  int32_t iBitrate = 0;        // kbit/s
  int32_t iLength = 0;         // play time in ms
  int32_t iFileSize = 0;       // bytes (saturates at 2^31 - 1)
};

// WAVE format tags of MPEG audio carried in a WAVE file.
constexpr int32_t kWaveFormatMPEG = 0x50;
constexpr int32_t kWaveFormatMPEGLayer3 = 0x55;

// Reads a RIFF WAVE file. True when it has a "fmt " and a "data" chunk and
// its samples are not MPEG audio; `info` is then filled (a data chunk that
// claims more than the file holds counts as far as the file goes). For
// MPEG audio inside a WAVE file (format tag 0x50 or 0x55) the result is
// False with iFormatTag set: such files are described by ReadMPEGAudioInfo.
bool ReadWaveInfo(const std::string& sFilePath, PCMAudioInfo& info);

// Reads an AIFF or AIFF-C file. True when it has a "COMM" chunk with a
// sample rate between 1 Hz and 10 MHz; `info` is then filled. The bit rate
// of compressed AIFF-C comes from the size of its "SSND" chunk; for
// uncompressed samples the frame count (and so the play time) is capped at
// what the "SSND" chunk holds, when there is one.
bool ReadAiffInfo(const std::string& sFilePath, PCMAudioInfo& info);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_PCM_AUDIO_H_
