// MP4 (ISO base media / QuickTime) reader: the iTunes tags of the ilst atom
// and the stream properties of the first audio and video tracks. Only the
// headers of the atom tree and the few small tables needed are read; the
// media data (mdat) and cover pictures are never read.
#ifndef CADENZA_MEDIA_MP4_H_
#define CADENZA_MEDIA_MP4_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cadenza/status.h"
#include "cadenza/tags.h"
#include "platform/file.h"

namespace cadenza {

struct MP4Info {
  Tags tags;                  // from moov/udta/meta/ilst
  std::string audio_codec;    // "aac", "mp3", "alac", "ac3"..., else the sample
                              // entry's four characters in lower case; "" when none
  std::string video_codec;    // "h264", "hevc", "mpeg4", else the four characters
  bool encrypted = false;     // a protected sample entry (iTunes .m4p files)
  int64_t duration_ms = 0;    // playing length of the audio track (else the video)
  int32_t bitrate_kbps = 0;   // average audio bit rate
  int32_t sample_rate = 0;    // Hz
  int32_t channels = 0;
  int32_t width = 0, height = 0;           // video track
  int32_t avc_profile = 0, avc_level = 0;  // H.264 only, else 0
  int32_t media_kind = -1;    // ilst 'stik' (1 music, 2 audiobook, 6 music video,
                              // 9 movie, 10 TV show, 21 podcast...); -1 when absent
  bool has_cover = false;     // same as tags.has_cover
};

// Reads the atom tree of the MP4 file at `path`. Unsupported("not an MP4
// file") when it does not start with a plausible ftyp, moov, free, skip, wide
// or mdat atom; Corrupt when it has no moov or the moov is malformed;
// IOError when it cannot be read.
Status ReadMP4(const std::string& path, MP4Info* out);
// The same over an image of a whole file in memory.
Status ReadMP4Bytes(std::string_view bytes, MP4Info* out);

// Atom plumbing shared by the reader and the tag writer.
namespace mp4 {

constexpr uint32_t FourCC(const char (&s)[5]) {
  return uint32_t{static_cast<uint8_t>(s[0])} << 24 | uint32_t{static_cast<uint8_t>(s[1])} << 16 |
         uint32_t{static_cast<uint8_t>(s[2])} << 8 | uint32_t{static_cast<uint8_t>(s[3])};
}

inline uint32_t BE32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline uint64_t BE64(const uint8_t* p) { return uint64_t{BE32(p)} << 32 | BE32(p + 4); }

// The bytes atoms are read from: an open file or an image in memory.
class Source {
 public:
  explicit Source(const RandomAccessFile* file) : file_(file), size_(file->size()) {}
  explicit Source(std::string_view bytes)
      : bytes_(bytes), size_(static_cast<int64_t>(bytes.size())) {}
  int64_t size() const { return size_; }
  // Reads up to `n` bytes at `offset`; the count read (short at the end),
  // or -1 on a read error.
  int64_t ReadAt(int64_t offset, void* buf, size_t n) const;

 private:
  const RandomAccessFile* file_ = nullptr;
  std::string_view bytes_;
  int64_t size_ = 0;
};

struct Atom {
  uint32_t type = 0;
  int64_t offset = 0;  // of the header
  int64_t header = 8;  // 8, or 16 with a 64-bit size
  int64_t size = 0;    // header included
  int64_t payload() const { return offset + header; }
  int64_t end() const { return offset + size; }
};

enum class HeaderResult { kOk, kEnd, kBad, kClipped };

// Decodes the atom header in the first `n` bytes of `p`, for an atom at
// `offset` whose parent ends at `end`: size 0 runs to `end`, size 1 takes
// the 64-bit size that follows. kEnd when fewer than 8 bytes remain before
// `end`, kBad when the size is smaller than the header, kClipped when the
// atom runs past `end` (then its size is cut to end there).
HeaderResult DecodeAtomHeader(const uint8_t* p, size_t n, int64_t offset, int64_t end,
                              Atom* atom);

// Whether the payload of a 'meta' atom starts with version and flags (the
// usual full box) rather than directly with a child atom (QuickTime style).
bool MetaHasVersion(const uint8_t* payload, size_t n);

}  // namespace mp4
}  // namespace cadenza

#endif  // CADENZA_MEDIA_MP4_H_
