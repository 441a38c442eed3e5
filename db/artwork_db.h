// The cover-art index of a colour iPod (iPod_Control/Artwork/ArtworkDB): its
// records, a loader and a writer. The pixels live in F<format>_<n>.ithmb
// files; this index says, per image, which file, offset and size each
// format's copy takes.
//
// The tree: mhfd -> mhsd 1 -> mhli -> mhii (image) -> mhod 2 -> mhni (one
// format's copy) -> mhod 3 (file name); mhsd 2 -> mhla (albums, empty here);
// mhsd 3 -> mhlf -> mhif (one per format). doc/artwork.md has the layout.
//
// A load keeps every header as its loaded bytes and every chunk it does not
// model (sections of other types, album entries, image children other than
// format copies, such as the desktop software's mhod 6) whole, so writing an
// untouched database gives back the loaded bytes. The writer computes every
// size, count and the file size; it lays the modelled fields over the
// loaded header bytes.
#ifndef CADENZA_DB_ARTWORK_DB_H_
#define CADENZA_DB_ARTWORK_DB_H_

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "cadenza/bytes.h"
#include "cadenza/status.h"

namespace cadenza {

// Database header ("mhfd").
struct ArtworkHeader {
  FixedBytes<4> tag = "mhfd";
  int32_t header_size = 0x84;
  int32_t file_size = 0;      // computed on write
  int32_t version = 2;        // libgpod writes 2, the desktop software 6
  int32_t section_count = 3;  // computed on write
  int32_t next_image_id = 0;  // libgpod: the highest id; desktop: highest + 1
  int32_t unknown_30 = 2;
  Bytes image;  // the header as loaded
};

// The file name object ("mhod" type 3) below a format copy.
struct ArtworkName {
  FixedBytes<4> tag = "mhod";
  int32_t header_size = 0x18;
  int32_t total_size = 0;  // computed on write
  int16_t type = 3;
  uint8_t padding = 0;      // computed on write: zero bytes after the text
  int32_t length = 0;       // computed on write: bytes of text
  uint8_t encoding = 2;     // 2: UTF-16LE
  Bytes text;               // the name as stored
  Bytes image;              // header and length fields as loaded
};

// One format's copy of an image: an "mhod" of type 2 holding an "mhni".
struct ArtworkThumb {
  // The container object.
  int32_t object_header_size = 0x18;
  Bytes object_image;
  // The "mhni".
  FixedBytes<4> tag = "mhni";
  int32_t header_size = 0x4C;
  int32_t total_size = 0;   // computed on write
  int32_t child_count = 1;  // computed on write
  int32_t format_id = 0;
  int32_t offset = 0;     // in the .ithmb file
  int32_t slot_size = 0;  // bytes the copy takes there
  int16_t vertical_pad = 0;
  int16_t horizontal_pad = 0;
  int16_t height = 0;  // pad + scaled height
  int16_t width = 0;   // pad + scaled width
  Bytes image;         // the mhni header as loaded
  // The file name, the first child when it is one (has_name); then the
  // children kept whole.
  bool has_name = false;
  ArtworkName name;
  std::vector<Bytes> other_children;
};

// An image ("mhii") and its children: format copies, or objects kept whole.
struct ArtworkImage {
  FixedBytes<4> tag = "mhii";
  int32_t header_size = 0x98;
  int32_t total_size = 0;   // computed on write
  int32_t child_count = 0;  // computed on write
  int32_t id = 0;
  uint64_t song_id = 0;  // the dbid of the (first) owning track
  int32_t source_size = 0;
  Bytes image;
  std::vector<std::variant<ArtworkThumb, Bytes>> children;
};

// A format of the device ("mhif").
struct ArtworkFormatEntry {
  FixedBytes<4> tag = "mhif";
  int32_t header_size = 0x7C;
  int32_t total_size = 0x7C;  // computed on write
  int32_t format_id = 0;
  int32_t image_size = 0;  // libgpod: width x height x 2
  Bytes image;
  Bytes tail;  // bytes after the header inside the chunk
};

// A section ("mhsd") and its list ("mhli", "mhla", "mhlf" by type). A
// section of another type is kept whole in `whole`. The sizes of a section,
// an image and a format copy must equal their header plus their children;
// a loaded file where they do not is corrupt.
struct ArtworkSection {
  FixedBytes<4> tag = "mhsd";
  int32_t header_size = 0x60;
  int32_t total_size = 0;  // computed on write
  int16_t type = 0;        // 1 images, 2 albums, 3 formats
  Bytes image;
  FixedBytes<4> list_tag;
  int32_t list_header_size = 0x5C;
  int32_t list_count = 0;  // computed on write
  Bytes list_image;
  std::vector<ArtworkImage> images;    // type 1
  std::vector<ArtworkFormatEntry> formats;  // type 3
  std::vector<Bytes> entries;          // any other list type, kept whole
  Bytes whole;  // a section of a type without a list we know, kept whole
};

struct ArtworkDB {
  ArtworkHeader header;
  std::vector<ArtworkSection> sections;  // in file order
  Bytes trailing;  // bytes after the last section
};

// One format's copy of an image to add.
struct ArtworkCopy {
  int32_t format_id = 0;
  std::string file_name;  // ":F1060_1.ithmb" (ASCII)
  int32_t offset = 0;
  int32_t slot_size = 0;
  int16_t vertical_pad = 0;
  int16_t horizontal_pad = 0;
  int16_t height = 0;
  int16_t width = 0;
  // The format's image size for the format list when the format is new
  // there; 0 takes the slot size.
  int32_t image_size = 0;
};

// Loads an ArtworkDB. A damaged file gives kCorrupt naming the offset.
Status LoadArtworkDB(Bytes file, ArtworkDB* out);

// The file bytes of `db`.
Status BuildArtworkDBImage(const ArtworkDB& db, std::string* image);

// A database with no images, the three sections and no formats, with the
// header values libgpod writes.
ArtworkDB BlankArtworkDB();

// Adds an image with a copy per format; a format the format list lacks is
// added to it. `source_size` is stored as given (libgpod stores the track's
// artwork size + 1). Fails with kInvalid when the id is taken or not
// positive, or a file name is not ASCII.
Status AddArtworkImage(ArtworkDB* db, int32_t id, uint64_t song_id, int32_t source_size,
                       const std::vector<ArtworkCopy>& copies);

// Removes the image `id`; false when there is none. The format list keeps
// its entries (libgpod lists every format of the device, used or not).
bool RemoveArtworkImage(ArtworkDB* db, int32_t id);

ArtworkImage* FindArtworkImage(ArtworkDB* db, int32_t id);
const ArtworkImage* FindArtworkImage(const ArtworkDB& db, int32_t id);

// An id no image has, above every id in use and the header's next id, and
// at least 100.
int32_t NextArtworkImageId(const ArtworkDB& db);

// The section of `type`, or null.
ArtworkSection* FindArtworkSection(ArtworkDB* db, int16_t type);
const ArtworkSection* FindArtworkSection(const ArtworkDB& db, int16_t type);

// The file name of a copy as text (UTF-16LE names decoded; other code
// units than ASCII become '?'); empty when it has none.
std::string ArtworkFileName(const ArtworkThumb& thumb);

}  // namespace cadenza

#endif  // CADENZA_DB_ARTWORK_DB_H_
