// Fuzz target for the MP4 reader and tag writer: any bytes must read or fail
// cleanly; when the writer takes them, what it wrote must read again and
// carry the new track number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "media/mp4.h"
#include "media/mp4_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cadenza;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  MP4Info info;
  const bool read = ReadMP4Bytes(in, &info).ok();
  Tags tags;
  tags.title = "Fuzzed title";
  tags.track_number = 5;
  tags.bpm = 90;
  std::string out;
  if (!WriteMP4TagsBytes(in, tags, [&](std::string_view piece) {
         out += piece;
         return Status::OK();
       }).ok())
    return 0;
  MP4Info again;
  const Status s = ReadMP4Bytes(out, &again);
  // A file that read well without a track number must show the one
  // written (a malformed atom the writer passes over whole still reads as
  // corrupt).
  if (read && info.tags.track_number == 0 && s.ok() && again.tags.track_number != 5) std::abort();
  return 0;
}
