// Library: rebuilding the database from the device's media files, and
// installing the blank one.
//
// A rebuild is built in memory from the blank template and replaces the
// device's file only once it is complete and written: a kill, a full disk
// or a music folder with nothing to enter leaves the old file as it was,
// and the object keeps the records it had.
#include "cadenza/library.h"
#include "component/library_impl.h"
#include "component/paths.h"
#include "component/placement.h"
#include "db/itunes_sd.h"
#include "db/loader.h"
#include "media/media_kind.h"

namespace cadenza {

Status Library::Rebuild() {
  Impl& d = *impl_;
  d.cancel = false;
  if (d.root.empty() || !fs::FolderExists(d.root))
    return Status::NotFound("The iPod is not connected", 76);
  if (Status st = d.Device().refusal; !st.ok()) return st;
  LockScope lock(*this);
  if (Status st = lock.Enter(); !st.ok()) return st;
  std::string blank;
  if (Status st = d.ReadBlankTemplate(&blank); !st.ok()) return st;

  d.Report({Progress::Stage::kRebuildStart});
  Database fresh;
  if (Status st = LoadDatabase(Bytes(std::move(blank)), fresh); !st.ok()) return st;
  // Work on the blank records; the loaded ones come back if the rebuild
  // does not complete.
  Database kept = std::exchange(d.db, std::move(fresh));
  const bool was_loaded = std::exchange(d.loaded, true);
  // Covers queued for the tracks replaced; the new tracks take their own.
  auto kept_covers = std::exchange(d.cover_changes, {});
  auto kept_released = std::exchange(d.released_covers, {});
  d.max_id = -1;
  d.ids_known = false;
  d.dupes_known = false;
  int32_t entered = 0;
  Status st = d.EnterMusicFiles(*this, &entered);
  if (st.ok()) {
    // The images of the tracks replaced go once the new database is
    // written; the new tracks took their covers from their files.
    d.release_all_covers = true;
    d.Report({Progress::Stage::kRebuildWrite});
    st = d.WriteRecords(false);
  }
  if (!st.ok()) {
    d.db = std::move(kept);
    d.loaded = was_loaded;
    d.cover_changes = std::move(kept_covers);
    d.released_covers = std::move(kept_released);
    d.release_all_covers = false;
    d.max_id = -1;
    d.ids_known = false;
    d.dupes_known = false;
    return st;
  }
  // The iPod's play records named the tracks of the database replaced:
  // the plays collected from them go to the play log, and the files are
  // set aside, not merged into tracks they do not describe.
  (void)d.KeepPendingPlays();
  d.pending_plays.clear();
  d.merged_records.clear();
  d.RetireDeviceRecords();
  return st;
}

Status Library::Impl::EnterMusicFiles(Library& lib, int32_t* entered) {
  Report({Progress::Stage::kRebuildList});
  const std::string listing = ListFolder(DevicePath(kMusicFolder), false, false, false);
  if (listing.empty()) return Status::NotFound("No media files below the music folder");
  std::vector<std::string> files;
  for (size_t i = 1, j; i <= listing.size(); i = j + 1) {
    j = listing.find('*', i);
    if (j == std::string::npos) j = listing.size();
    if (j > i) files.push_back(listing.substr(i, j - i));
  }
  bool cancelled = false;
  for (size_t n = 0; n < files.size(); ++n) {
    // A request stops this rebuild only, and keeps what was entered.
    if (TakeCancel()) {
      cancelled = true;
      break;
    }
    const std::string& path = files[n];
    Report({Progress::Stage::kRebuildFile, path, n, files.size()});
    if (!TakenByRebuild(path, options.shuffle)) continue;
    // Every file starts from an empty description.
    TrackInfo described;
    Tags tags;
    Status st = lib.Probe(path, &described, &tags);
    if (st.ok() && !described.isFileSupported)
      st = Status::Unsupported("The file is not supported: " + path);
    if (!st.ok()) {
      Report({Progress::Stage::kRebuildSkipped, path, n, files.size(), &st});
      continue;
    }
    int32_t id = 0;
    st = lib.Add(path, described, AddOptions{false, path, 0, tags}, &id);
    if (st.ok()) {
      ++*entered;
    } else {
      Report({Progress::Stage::kRebuildFailed, path, n, files.size(), &st});
    }
  }
  // A database without a single track would only throw the old one away.
  if (*entered == 0 && cancelled)
    return Status::Cancelled("The rebuild was cancelled; the database was left as it was");
  if (*entered == 0)
    return Status::NotFound(
        "No media file below the music folder could be entered; the database was left as it was");
  return Status::OK();
}

Status Library::Reset() {
  if (Status st = impl_->InstallBlank(); !st.ok()) return st;
  return Load();
}

Status Library::Impl::InstallBlank() {
  if (root.empty() || !fs::FolderExists(root)) return Status::NotFound("The iPod is not connected", 76);
  if (Status st = Device().refusal; !st.ok()) return st;
  for (const char* folder : {kControlFolder, kITunesFolder}) {
    const std::string path = DevicePath(folder);
    if (fs::FolderExists(path)) continue;
    if (Status st = fs::CreateFolder(path); !st.ok()) return st;
  }
  std::unique_ptr<FileLock> own;
  if (!lock) {
    if (Status st = FileLock::Acquire(DevicePath(kLockFile), options.lock_wait_ms, &own); !st.ok())
      return st;
  }
  std::string blank;
  if (Status st = ReadBlankTemplate(&blank); !st.ok()) return st;
  // The template becomes the device's database file, the one the loader
  // reads; it replaces a damaged one in a single step.
  Database empty;
  if (Status st = LoadDatabase(Bytes(blank), empty); !st.ok()) return st;
  if (Status st = StoreDatabase(std::move(blank), false); !st.ok()) return st;
  // A shuffle's own list empties with it, and the iPod's play records,
  // which named the tracks of the database replaced, are set aside.
  pending_plays.clear();
  merged_records.clear();
  RetireDeviceRecords();
  const DeviceModel& dev = owner->device();
  if (dev.shuffle_format == 0) return Status::OK();
  std::string shuffle;
  Status st = BuildShuffleDatabase(
      empty, dev.shuffle_format == 1 ? ShuffleFormat::kFixedRecords : ShuffleFormat::kBdhs, &shuffle);
  return st.ok() ? fs::WriteFileAtomic(DevicePath(kShuffleFile), shuffle) : st;
}

}  // namespace cadenza
