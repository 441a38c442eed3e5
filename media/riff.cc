#include "media/riff.h"

namespace cadenza {
namespace {

uint32_t LittleEndian32(const std::string& s, size_t at) {
  auto b = [&](size_t i) { return uint32_t{static_cast<uint8_t>(s[at + i])}; };
  return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

}  // namespace

bool clsRIFFParser::OpenFile(std::string MyFileName) {
  if (!FileHandle.Open(MyFileName)) return false;
  std::string h = FileHandle.ReadAt(0, 12);
  if (h.size() < 4 || h.compare(0, 4, "RIFF") != 0) return false;
  // A header cut short reads as zeros, as a read past the end would.
  h.resize(12, '\0');
  FileSize = static_cast<int32_t>(LittleEndian32(h, 4));
  FileFourCC = h.substr(8, 4);
  fileName = std::move(MyFileName);
  m_lPos = 12;
  m_lNextChunkPos = -1;
  return true;
}

void clsRIFFParser::GetChunk() {
  if (m_lNextChunkPos >= 0) m_lPos = m_lNextChunkPos;
  std::string h = ReadData(8);
  ++CurrentChunk;
  if (h.size() < 8) {
    ChunkType = "eof";
    ChunkFourCC = h.substr(0, std::min<size_t>(h.size(), 4));
    ChunkSize = 0;
    m_lNextChunkPos = -1;
    return;
  }
  std::string id = h.substr(0, 4);
  int64_t size = LittleEndian32(h, 4);
  if (id != "LIST") {
    ChunkType = "chunk";
    ChunkSize = size + (size % 2);
    ChunkFourCC = id;
    m_lNextChunkPos = m_lPos + ChunkSize;
  } else {
    ChunkType = "list";
    // A list too small to hold its type has no contents.
    ChunkSize = size < 4 ? 0 : size - 4;
    ChunkFourCC = ReadData(4);
    m_lNextChunkPos = -1;
  }
  if (m_lPos >= FileHandle.size()) ChunkType = "eof";
}

void clsRIFFParser::SkipChunk() {
  m_lPos += ChunkSize;
}

std::string clsRIFFParser::ReadData(size_t n) {
  std::string s = FileHandle.ReadAt(m_lPos, n);
  m_lPos += static_cast<int64_t>(s.size());
  return s;
}

}  // namespace cadenza
