// The covers of a colour iPod, changed as one step: the ArtworkDB and the
// F<format>_<n>.ithmb files beside it in iPod_Control/Artwork.
//
// New slots only ever go after the end of a file, so the pixels an existing
// ArtworkDB points to are never touched by an import. Commit makes the new
// slots durable before it replaces the ArtworkDB (temporary file, flush,
// rename); the caller writes the iTunesDB that links to the new images after
// that. At every moment the device holds an ArtworkDB whose slots are all on
// the disk. Compact moves the used slots into new files, then replaces the
// ArtworkDB, then deletes the old files.
#ifndef CADENZA_COMPONENT_COVER_STORE_H_
#define CADENZA_COMPONENT_COVER_STORE_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cadenza/status.h"
#include "db/artwork_db.h"
#include "platform/image.h"

namespace cadenza {

// A format's next slot opens a new file once its current one has reached
// this size. Few, large files: iPods are reported to lose every cover once
// a dozen files exist per format, while one file of 335 MB works; FAT32
// caps a file at 4 GiB.
inline constexpr int64_t kArtworkFileLimit = 1'000'000'000;

struct ArtworkUsage {
  int32_t files = 0;       // .ithmb files of the folder
  int64_t file_bytes = 0;  // their size
  int64_t used_bytes = 0;  // bytes of slots an image record points to
};

class CoverStore {
 public:
  // `folder`: the device's iPod_Control/Artwork folder; `formats`: the
  // formats every new image is rendered into.
  CoverStore(std::string folder, std::vector<ArtworkFormat> formats);

  // Reads the ArtworkDB, or starts a blank one when there is none.
  // kCorrupt when it is damaged.
  Status Load();
  const ArtworkDB& db() const { return db_; }
  ArtworkDB& db() { return db_; }

  // Renders `image` into every format and puts the slots after the ends of
  // the files (written by Commit at the latest); adds the image record.
  Status Add(const Image& image, uint64_t song_id, int32_t source_size, int32_t* id);
  // Removes an image record; its slots become unused space.
  bool Remove(int32_t id);
  // Removes the image with CommitRemovals, once the iTunesDB that no longer
  // links to it is on the device: until then the tracks of the old one
  // keep their covers.
  void RemoveLater(int32_t id) { doomed_.push_back(id); }
  // Removes those images and replaces the ArtworkDB; OK when there are none.
  Status CommitRemovals();

  // Writes the remaining new slots, flushes every file that got slots, and
  // replaces the ArtworkDB.
  Status Commit();

  ArtworkUsage Usage() const;
  // Copies the used slots into new files (one per format up to the size
  // limit), replaces the ArtworkDB with one pointing to them, and deletes
  // the old files. A failure before the ArtworkDB is replaced leaves the
  // device as it was.
  Status Compact();

  // The largest copy of image `id`, without its padding. kNotFound when
  // there is no such image; kCorrupt when its slot lies outside its file.
  Status Read(int32_t id, Image* out) const;

 private:
  struct Tail {
    std::string name;  // ":F1060_1.ithmb"
    int64_t end = 0;   // where the next slot goes
  };
  std::string PathOf(const std::string& stored_name) const;
  Status FindTail(const ArtworkFormat& format, int64_t slot, Tail* tail) const;
  Status Stage(const std::string& name, int64_t offset, const std::vector<uint8_t>& pixels);
  Status WriteStaged(bool all);
  std::vector<std::string> FilesOnDisk() const;

  std::string folder_;
  std::vector<ArtworkFormat> formats_;
  ArtworkDB db_;
  std::map<int32_t, Tail> tails_;  // by format id
  // Slots not yet written: per file, the offset of the first byte and the
  // bytes from there on.
  struct Pending {
    int64_t offset = 0;
    std::string bytes;
  };
  std::map<std::string, Pending> staged_;
  std::vector<std::string> touched_;  // files that got slots
  std::vector<int32_t> doomed_;       // images for CommitRemovals
};

// The ".ithmb" file name of format `format_id`, number `n`, as the ArtworkDB
// stores it (":F1060_1.ithmb").
std::string ArtworkSlotFileName(int32_t format_id, int32_t n);

}  // namespace cadenza

#endif  // CADENZA_COMPONENT_COVER_STORE_H_
