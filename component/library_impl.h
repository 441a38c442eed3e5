// The state behind a Library, shared by the files that implement it.
#ifndef CADENZA_COMPONENT_LIBRARY_IMPL_H_
#define CADENZA_COMPONENT_LIBRARY_IMPL_H_

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cadenza/library.h"
#include "component/cover_store.h"
#include "db/writer.h"
#include "device/device_info.h"
#include "platform/fs.h"
#include "platform/lock.h"
#include "platform/random.h"

namespace cadenza {

struct Library::Impl {
  Library* owner = nullptr;  // the library this state belongs to
  std::string root;  // ends in "/", or empty
  Options options;
  Database db;
  bool loaded = false;
  int32_t max_id = -1;  // largest track id, -1 when not known
  // The database ids of the tracks, gathered when the first new track
  // needs one (ids_known false: not gathered since the last load).
  bool ids_known = false;
  std::unordered_set<uint64_t> db_ids;
  std::mt19937_64 id_random{std::random_device{}()};
  // The live tracks by title, artist and album, and by file size, for
  // finding duplicates (dupes_known false: not built since the last load).
  bool dupes_known = false;
  std::unordered_multimap<std::string, int32_t> by_text;
  std::unordered_multimap<int32_t, int32_t> by_size;
  void IndexDuplicates();

  // The device, probed once per load.
  mutable std::optional<DeviceInfo> device_info;
  mutable std::optional<DeviceModel> model;

  Random random;
  std::unique_ptr<FileLock> lock;
  // The database file as last loaded or written: its stamp and a hash of
  // its bytes.
  struct FileIdentity {
    int64_t size = -1;
    int64_t mtime_ns = 0;
    uint64_t inode = 0;
    size_t hash = 0;
  } loaded_file;
  // Media files were copied onto the device since the last write.
  bool copied_since_write = false;
  // Files of deleted tracks, deleted once the database without them is
  // written.
  std::vector<std::string> doomed_files;
  // The tracks changed since the load or the last write: their sort
  // indexes and album and artist lists are made again when written.
  bool tracks_changed = false;
  // What the load found worth a warning.
  std::vector<std::string> notices;
  // Plays collected from the device's play records at the load, kept in
  // the play log by the next write; the record files (device-relative)
  // that the write then retires.
  std::vector<PlayEvent> pending_plays;
  std::vector<std::string> merged_records;
  // Collects the device's play records and On-The-Go lists into the
  // records just loaded.
  void CollectDeviceRecords(Library& lib);
  void CollectPlayCounts(const std::vector<MHIT*>& tracks);
  void CollectShuffleStats(const std::vector<MHIT*>& tracks);
  void CollectOnTheGo(Library& lib, const std::vector<MHIT*>& tracks);
  // Adds the pending plays to the play log on the device (those it holds
  // already are not added twice).
  Status KeepPendingPlays();
  // After a write: removes the device's record files that were merged and
  // sets the others aside (renamed with ".unmerged").
  void RetireDeviceRecords();
  // Builds the iTunesSD image for a shuffle (empty when not a shuffle).
  Status BuildShuffleImage(std::string* image, const DeviceModel& dev);
  // Makes the library menus again when the tracks changed.
  Status RefreshLibraryIndexes(const DeviceModel& dev);
  // Covers to write with the next Save, by track id: the key of the
  // picture in cover_pictures (empty: remove the track's cover) and the
  // track's album, within which identical pictures share one image.
  struct CoverChange {
    std::string picture;
    std::string album;
  };
  std::map<int32_t, CoverChange> cover_changes;
  std::unordered_map<std::string, std::string> cover_pictures;
  // The image ids and database ids of deleted tracks that had a cover.
  std::vector<std::pair<int32_t, uint64_t>> released_covers;
  // Every image no track uses goes with the next write (after a rebuild).
  bool release_all_covers = false;
  // The device's artwork formats, found once per load, and where from.
  mutable std::optional<std::vector<ArtworkFormat>> artwork_formats;
  const std::vector<ArtworkFormat>& ArtworkFormats() const;
  std::string ArtworkFolder() const;
  // Queues the cover `file` carries (or an image beside `original`) for
  // the new track `id`.
  void TakeCover(int32_t id, const std::string& file, const std::string& original);
  void QueueCover(int32_t id, std::string_view picture);
  // Renders the queued covers into a CoverStore (null when the artwork
  // files need no change) and sets the tracks' cover fields.
  Status PrepareCovers(std::unique_ptr<CoverStore>* store);
  // After the database is written: removes the images no track uses any
  // more, forgets the queued covers, and compacts the artwork files when
  // more than a quarter of them is unused.
  void FinishCovers(CoverStore* store);
  // Which part of the last failed image build failed.
  WriteStage last_write_stage = WriteStage::kNone;

  std::atomic<bool> cancel{false};
  ProgressCallback progress;

  std::string DevicePath(const std::string& rel) const;
  std::string ComponentFolder() const;
  const DeviceInfo& Device() const;
  void Report(const Progress& p) const {
    if (progress) progress(p);
  }
  // Takes a cancel request, clearing it.
  bool TakeCancel() { return cancel.exchange(false); }

  // Loads the file at `path`, replacing the records.
  Status LoadFile(const std::string& path, bool keep_identity);
  // Builds the image of the records and stores it.
  Status WriteRecords(bool must_be_unchanged);
  Status StoreDatabase(std::string image, bool must_be_unchanged);
  bool IsLoadedFile(const std::string& path) const;
  Status ReadBlankTemplate(std::string* image) const;
  // Stores the blank database template as the device's database file.
  Status InstallBlank();
  // Enters the media files of the device into `db` (blank records); counts
  // them in *entered.
  Status EnterMusicFiles(Library& lib, int32_t* entered);
  int64_t EstimatedFileSize() const;
  Status CheckRoomFor(int64_t size) const;
  Status CopyOntoDevice(const std::string& from, const std::string& to);
  // The fixed fields of a new track described by `info`, with the next id.
  Status NewTrack(const TrackInfo& info, MHIT* t);
  // Sets the fields of a new track that come from its file's tags and the
  // time it is entered.
  void SetTagFields(const Tags& tags, const std::string& file, MHIT* t) const;
  int32_t NextTrackID();
  uint64_t NewDatabaseID();
  int32_t RandomNumber();
  MHIT* FindTrack(int32_t id);
};

// The device's lock for the duration of one call that changes the device,
// unless the library holds it already.
class LockScope {
 public:
  explicit LockScope(Library& lib) : lib_(lib) {}
  ~LockScope() {
    if (took_) lib_.Unlock();
  }
  LockScope(const LockScope&) = delete;
  LockScope& operator=(const LockScope&) = delete;
  Status Enter() {
    if (lib_.locked()) return Status::OK();
    Status st = lib_.Lock();
    took_ = st.ok();
    return st;
  }

 private:
  Library& lib_;
  bool took_ = false;
};

}  // namespace cadenza

#endif  // CADENZA_COMPONENT_LIBRARY_IMPL_H_
