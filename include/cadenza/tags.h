// Tags: what a media file's metadata says about its track, beyond the
// fields of TrackInfo: numbering, album artist, compilation, tempo, cover.
// The readers of every tag format fill it, the tag writers of the export
// take it, and Library reports it for files and for tracks.
#ifndef CADENZA_TAGS_H_
#define CADENZA_TAGS_H_

#include <cstdint>
#include <string>

namespace cadenza {

struct Tags {
  // Text in UTF-8; empty when the file has none.
  std::string title, artist, album, album_artist, genre, composer, year, comment;
  // 0 when not given ("3/12" gives 3 and 12; "3" gives 3 and 0).
  int32_t track_number = 0, track_count = 0;
  int32_t disc_number = 0, disc_count = 0;
  bool compilation = false;
  int32_t bpm = 0;
  // The file holds a picture (a front cover first when it says which).
  bool has_cover = false;
  // A picture (JPEG or PNG bytes) for the tag writers to store as the
  // front cover when the file holds none. Readers leave it empty.
  std::string cover{};
};

}  // namespace cadenza

#endif  // CADENZA_TAGS_H_
