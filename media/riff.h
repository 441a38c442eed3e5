// Walks the chunks of a RIFF file one at a time. Each GetChunk reports the
// next chunk's kind, id and size; lists are always entered, so the chunk
// after a list header is the list's first sub-chunk. After GetChunk the
// read position stands at the chunk's data (for a list, its first
// sub-chunk), where ReadData reads it.
#ifndef CADENZA_MEDIA_RIFF_H_
#define CADENZA_MEDIA_RIFF_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace cadenza {

class clsRIFFParser {
 public:
  // Opens the file; true when it starts with "RIFF". The file stays open
  // until the object ends.
  bool OpenFile(std::string MyFileName);
  // Reads the next chunk header: ChunkType becomes "chunk", "list" or, at
  // the end of the file, "eof".
  void GetChunk();
  // Moves the read position past the current chunk's data or, after a list
  // header, past the whole list.
  void SkipChunk();

  // Reads up to `n` bytes at the read position and advances it by the
  // number read.
  std::string ReadData(size_t n);
  int64_t Position() const { return m_lPos; }

  std::string FileFourCC;   // form type from the file header, e.g. "AVI "
  int32_t FileSize = 0;     // size field of the file header
  RandomAccessFile FileHandle;
  std::string fileName;     // path given to OpenFile
  std::string ChunkType;    // "chunk", "list" or "eof"
  int64_t ChunkSize = 0;    // chunk: data size made even; list: size - 4
  std::string ChunkFourCC;  // chunk: its id; list: its list type
  int32_t CurrentChunk = 0; // number of GetChunk calls

 private:
  // Where the next chunk header starts, or -1 when it follows at the read
  // position (inside a list just entered).
  int64_t m_lNextChunkPos = -1;
  int64_t m_lPos = 0;
};

}  // namespace cadenza

#endif  // CADENZA_MEDIA_RIFF_H_
