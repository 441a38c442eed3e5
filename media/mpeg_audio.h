// MPEG audio stream analysis: the first frame header of an MPEG-1, -2 or
// -2.5 audio file (layers I to III), an optional "Xing", "Info" or "VBRI"
// header behind it, and from them bit rate, sample rate, channel mode and
// play time; also which ID3 tags the file carries and its size.
#ifndef CADENZA_MEDIA_MPEG_AUDIO_H_
#define CADENZA_MEDIA_MPEG_AUDIO_H_

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace cadenza {

struct MPEGAudioInfo {
  std::string sVersionLayer;  // e.g. "version 1 layer 3"
  bool bProtected = false;    // the header's protection bit is 0
  int32_t iBitrate = 0;       // kbit/s
  int32_t iSampleRate = 0;    // Hz
  bool bVBR = false;          // a VBR header gave frame and byte counts
  std::string sChannelMode;   // "Stereo", "Joint stereo", "Dual channel", "Mono"
  bool bRightsFlag = false;
  bool bOriginal = false;
  bool bEmphasis = false;
  int32_t iDuration = 0;        // whole seconds
  int32_t iID3v1Revision = 0;   // -1 none, 0 ID3v1.0, 1 ID3v1.1
  int32_t iID3v2Version = 0;    // -1 none, else the tag's major version
  int32_t iFileSize = 0;        // bytes (saturates at 2^31 - 1)
};

// Fills `info` from the file. Fields are only written, never cleared: a
// field no step reaches keeps the caller's value. True when a frame was
// found and decoded. A header counts as a frame only when the frame fits in
// the file and is followed by a header of the same version, layer and
// sample rate, by the end of the file, or by an ID3v1 or APE tag; a
// free-format header only when it repeats within 2,000 bytes. Anything else
// is a stray sync pattern and the search goes on. A VBR header whose counts
// the file cannot hold is ignored. A file that cannot be opened, or one
// shorter than 4 bytes, writes no field. Bit rate and play time are left
// unwritten when the header gives no bit rate (free format) and no VBR
// header does.
bool ReadMPEGAudioInfo(const std::string& sFilePath, MPEGAudioInfo& info);

// The offset of the first byte behind an ID3v2 tag at `iOffset` (header,
// body and footer), or 0 when there is no tag there.
int64_t GetAudioDataStart(const RandomAccessFile& file, int64_t iOffset);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_MPEG_AUDIO_H_
