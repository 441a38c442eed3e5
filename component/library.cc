// Library: opening, loading, the views, the lock and saving.
#include "cadenza/library.h"

#include <ctime>
#include <functional>
#include <string_view>

#include "component/library_impl.h"
#include "component/paths.h"
#include "db/loader.h"
#include "db/summary.h"
#include "platform/random.h"

namespace cadenza {

namespace {

size_t ImageHash(std::string_view image) { return std::hash<std::string_view>{}(image); }

std::string WithSlash(std::string root) {
#ifdef _WIN32
  // A drive root ("I:\") already ends in a separator.
  if (!root.empty() && root.back() == '\\') return root;
#endif
  if (!root.empty() && root.back() != '/') root += '/';
  return root;
}

// Whether the device is a shuffle that plays from an iTunesSD, and which
// layout it reads: the model tells the generation; without one, an
// iTunesSD already on the device tells both.
void DescribeShuffle(const std::string& root, const DeviceInfo& info, DeviceModel* m) {
  std::string existing;
  const bool has_file = fs::ReadFileUpTo(fs::DevicePath(root, kShuffleFile), 4, &existing).ok();
  if (info.family == "iPod shuffle") {
    m->shuffle = info.model_number.empty() ? "USB product id" : "model number";
    const bool newer = info.generation == "3G" || info.generation == "4G";
    m->shuffle_format = newer || (info.generation.empty() && existing == "bdhs") ? 3 : 1;
  } else if (has_file && info.family.empty()) {
    m->shuffle = "iTunesSD on the device";
    m->shuffle_format = existing == "bdhs" ? 3 : 1;
  }
  if (m->shuffle_format != 0)
    m->description += std::string("iPod shuffle (") + m->shuffle + "): an iTunesSD for the " +
                      (m->shuffle_format == 1 ? "1st/2nd" : "3rd/4th") +
                      " generation is written with the database\n";
}

}  // namespace

std::string Library::Impl::DevicePath(const std::string& rel) const {
  return fs::DevicePath(root, rel);
}

std::string Library::Impl::ComponentFolder() const {
  if (!options.component_folder.empty()) return options.component_folder;
  std::string exe = fs::ProgramFolder();
  if (fs::FileExists(exe + "/" + kTemplateName)) return exe;
  std::string share = exe + "/../share/cadenza";
  if (fs::FileExists(share + "/" + kTemplateName)) return share;
  return exe;
}

const DeviceInfo& Library::Impl::Device() const {
  if (!device_info)
    device_info = ReadDeviceInfo(root, {options.sysfs_root, options.mountinfo_path});
  return *device_info;
}

Library::Library(std::string root, Options options) : impl_(std::make_unique<Impl>()) {
  impl_->owner = this;
  impl_->root = WithSlash(std::move(root));
  impl_->options = std::move(options);
}
Library::~Library() = default;
Library::Library(Library&& o) noexcept : impl_(std::move(o.impl_)) {
  if (impl_) impl_->owner = this;
}
Library& Library::operator=(Library&& o) noexcept {
  impl_ = std::move(o.impl_);
  if (impl_) impl_->owner = this;
  return *this;
}

Status Library::Open(const std::string& root, const Options& options,
                     std::unique_ptr<Library>* out) {
  auto lib = std::make_unique<Library>(root, options);
  if (Status st = lib->Load(); !st.ok()) return st;
  *out = std::move(lib);
  return Status::OK();
}

Status Library::ReadSummary(const std::string& root, const Options& options,
                            DatabaseSummary* out) {
  Library lib(root, options);
  const Impl& d = *lib.impl_;
  if (d.root.empty() || !fs::FolderExists(d.root))
    return Status::NotFound("The iPod is not connected (no folder " + root + ")", 76);
  std::string buffer;
  Status st = fs::ReadWholeFile(d.DevicePath(kDatabaseFile), &buffer);
  if (st.code() == Status::Code::kNotFound) return Status::NotFound("The iPod database was not found");
  if (!st.ok()) return st;
  *out = DatabaseSummary{};
  return ReadDatabaseSummary(Bytes(std::move(buffer)), out);
}

Status Library::Load() {
  Impl& d = *impl_;
  d.device_info.reset();
  d.model.reset();
  d.loaded = false;
  d.db = Database{};
  d.max_id = -1;
  d.ids_known = false;
  d.dupes_known = false;
  d.doomed_files.clear();
  d.tracks_changed = false;
  d.notices.clear();
  d.pending_plays.clear();
  d.merged_records.clear();
  d.cover_changes.clear();
  d.cover_pictures.clear();
  d.released_covers.clear();
  d.release_all_covers = false;
  d.artwork_formats.reset();
  if (d.root.empty() || !fs::FolderExists(d.root))
    return Status::NotFound("The iPod is not connected (no folder " +
                                (d.root.empty() ? std::string("given") : d.root) + ")",
                            76);
  if (!fs::FolderExists(d.DevicePath(kITunesFolder)))
    return Status::NotFound("The iPod database was not found");
  Status st = d.LoadFile(d.DevicePath(kDatabaseFile), true);
  if (st.ok()) d.CollectDeviceRecords(*this);
  return st;
}

Status Library::Impl::LoadFile(const std::string& path, bool keep_identity) {
  std::string buffer;
  fs::FileStamp stamp;
  Status st = fs::ReadWholeFile(path, &buffer, &stamp);
  if (st.code() == Status::Code::kNotFound) return Status::NotFound("The iPod database was not found");
  // A file that cannot be read (permissions, an I/O error, not a file at
  // all) is not a damaged database: repairing it would throw away a
  // database that may be whole.
  if (!st.ok()) return st;
  const FileIdentity identity{stamp.size, stamp.mtime_ns, stamp.inode,
                              std::hash<std::string_view>{}(buffer)};
  Database fresh;
  st = LoadDatabase(Bytes(std::move(buffer)), fresh);
  if (!st.ok()) return st;
  db = std::move(fresh);
  loaded = true;
  max_id = -1;
  ids_known = false;
  dupes_known = false;
  if (keep_identity) loaded_file = identity;
  return Status::OK();
}

bool Library::loaded() const { return impl_->loaded; }
const std::string& Library::root() const { return impl_->root; }
const Options& Library::options() const { return impl_->options; }

const DeviceModel& Library::device() const {
  const Impl& d = *impl_;
  if (!d.model) {
    const DeviceInfo& info = d.Device();
    DeviceModel m;
    m.name = info.DeviceName();
    m.model_number = info.model_number;
    m.checksum = SchemeName(info.scheme);
    m.guid = info.guid;
    m.writable = info.refusal;
    m.description = DescribeDevice(info);
    DescribeShuffle(d.root, info, &m);
    d.model = std::move(m);
  }
  return *d.model;
}

const Database& Library::database() const { return impl_->db; }
const MHBD& Library::header() const { return impl_->db.m_MHBD; }

TrackRange Library::tracks() const {
  const MHLT& l = impl_->db.m_MHSD_T.m_mhlt;
  const size_t n = std::min(l.m_mhit.size(), static_cast<size_t>(std::max(l.iNumberOfllTracks, 0)));
  return TrackRange(std::span<const MHIT>(l.m_mhit.data(), n), track_count());
}

size_t Library::track_count() const {
  const MHLT& l = impl_->db.m_MHSD_T.m_mhlt;
  const size_t n = std::min(l.m_mhit.size(), static_cast<size_t>(std::max(l.iNumberOfllTracks, 0)));
  const size_t deleted = static_cast<size_t>(std::max(impl_->db.m_iDeletedTracks, 0));
  return n > deleted ? n - deleted : 0;
}

size_t Library::deleted_count() const {
  return static_cast<size_t>(std::max(impl_->db.m_iDeletedTracks, 0));
}

const MHIT* Library::track(int32_t id) const { return id == -1 ? nullptr : impl_->FindTrack(id); }

MHIT* Library::Impl::FindTrack(int32_t id) {
  MHLT& l = db.m_MHSD_T.m_mhlt;
  const size_t n = std::min(l.m_mhit.size(), static_cast<size_t>(std::max(l.iNumberOfllTracks, 0)));
  for (size_t i = 0; i < n; ++i)
    if (l.m_mhit[i].iUniqueID == id) return &l.m_mhit[i];
  return nullptr;
}

std::span<const MHYP> Library::playlists() const {
  return impl_->db.m_MHSD_PlayLists.m_mhlp.m_mhyp;
}
std::span<const MHYP> Library::podcasts() const { return impl_->db.m_MHSD_Podcasts.m_mhlp.m_mhyp; }

Status Library::Lock() {
  Impl& d = *impl_;
  if (d.lock) return Status::OK();
  // The lock file lives in the control folder; a folder without one is
  // not a device to change.
  if (d.root.empty() || !fs::FolderExists(d.DevicePath(kControlFolder)))
    return Status::NotFound((d.root.empty() ? std::string("The device") : d.root) +
                                " has no iPod_Control folder, so it is not an iPod",
                            76);
  return FileLock::Acquire(d.DevicePath(kLockFile), d.options.lock_wait_ms, &d.lock);
}

void Library::Unlock() { impl_->lock.reset(); }
bool Library::locked() const { return impl_->lock != nullptr; }

void Library::SetProgressCallback(ProgressCallback callback) {
  impl_->progress = std::move(callback);
}
void Library::Cancel() { impl_->cancel = true; }
void Library::set_shuffle(bool shuffle) { impl_->options.shuffle = shuffle; }

Status Library::Save(std::vector<std::string>* kept_files) {
  Impl& d = *impl_;
  if (!d.loaded) return Status::Invalid("No iPod database is loaded; nothing was written");
  if (Status st = d.Device().refusal; !st.ok()) return st;
  LockScope lock(*this);
  if (Status st = lock.Enter(); !st.ok()) return st;
  // A write replaces the file that was loaded; when it has gone, so has
  // the device (or another program removed it).
  if (!fs::FileExists(d.DevicePath(kDatabaseFile))) return Status::NotFound("File not found", 53);
  // The plays collected at the load are kept before the records that hold
  // them are retired; a failure here leaves everything as it was.
  if (Status st = d.KeepPendingPlays(); !st.ok()) return st;
  if (Status st = d.WriteRecords(true); !st.ok()) return st;
  d.RetireDeviceRecords();
  // The files of deleted tracks go once no database lists them.
  std::vector<std::string> doomed = std::move(d.doomed_files);
  d.doomed_files.clear();
  for (const std::string& f : doomed) {
    Status st = RemoveMusicFile(f);
    if (!st.ok() && st.code() != Status::Code::kNotFound && kept_files)
      kept_files->push_back(st.message());
  }
  return Status::OK();
}

namespace {

Status ChangedByOther() {
  return Status::Busy(
      "the iPod database was changed by another program after it was loaded, so it was not "
      "written; load it again and repeat the changes");
}

}  // namespace

Status Library::Impl::WriteRecords(bool must_be_unchanged) {
  const DeviceModel& dev = owner->device();
  if (Status st = RefreshLibraryIndexes(dev); !st.ok()) return st;
  std::unique_ptr<CoverStore> covers;
  if (Status st = PrepareCovers(&covers); !st.ok()) return st;
  std::string image, shuffle;
  Status st = BuildDatabaseImage(db, &image, &last_write_stage);
  if (!st.ok()) return st;
  // A shuffle plays from its own file, made before anything is written so
  // that a failure to make it changes nothing.
  if (st = BuildShuffleImage(&shuffle, dev); !st.ok()) return st;
  // The covers' pixels and index reach the device before the database that
  // links to them.
  if (covers) {
    if (must_be_unchanged && !IsLoadedFile(DevicePath(kDatabaseFile))) return ChangedByOther();
    if (st = covers->Commit(); !st.ok()) return st;
  }
  if (st = StoreDatabase(std::move(image), must_be_unchanged); !st.ok()) return st;
  tracks_changed = false;
  FinishCovers(covers.get());
  if (shuffle.empty()) return Status::OK();
  return fs::WriteFileAtomic(DevicePath(kShuffleFile), shuffle);
}

bool Library::Impl::IsLoadedFile(const std::string& path) const {
  // Another program may have written the database since it was loaded;
  // writing over it would lose that program's changes. Every writer
  // replaces the file, so a file with the size, time and number it had is
  // the one loaded. Otherwise the contents decide: a program that wrote the
  // same bytes again changed nothing.
  fs::FileStamp now;
  if (!fs::StatFile(path, &now).ok() || now.size != loaded_file.size) return false;
  if (now.mtime_ns == loaded_file.mtime_ns && now.inode == loaded_file.inode) return true;
  std::string current;
  return fs::ReadWholeFile(path, &current).ok() && ImageHash(current) == loaded_file.hash;
}

Status Library::Impl::StoreDatabase(std::string image, bool must_be_unchanged) {
  // Devices that check a signature get the complete file signed; the
  // signature is verified before anything reaches the device.
  Status st = SignForDevice(Device(), &image);
  if (!st.ok()) return st;
  const std::string path = DevicePath(kDatabaseFile);
  if (must_be_unchanged && !IsLoadedFile(path)) return ChangedByOther();
  if (!fs::FolderExists(DevicePath(kITunesFolder))) {
    if (st = fs::CreateFolders(DevicePath(kITunesFolder)); !st.ok()) return st;
  }
  // What writes killed before this one left behind (safe: the caller holds
  // the lock, so no other write is under way).
  (void)fs::RemoveLeftoverTemps(path);
  // The media files the new database lists reach the disk before it does.
  if (copied_since_write) {
    if (st = fs::FlushFileSystem(root); !st.ok()) return st;
  }
  if (st = fs::WriteFileAtomic(path, image); !st.ok()) return st;
  copied_since_write = false;
  fs::FileStamp stamp;
  (void)fs::StatFile(path, &stamp);
  loaded_file = {stamp.size, stamp.mtime_ns, stamp.inode, ImageHash(image)};
  return Status::OK();
}

Status Library::Impl::ReadBlankTemplate(std::string* image) const {
  const std::string source = ComponentFolder() + "/" + kTemplateName;
  if (!fs::FileExists(source) || !fs::ReadWholeFile(source, image).ok())
    return Status::NotFound("The blank database template is missing: " + source);
  return Status::OK();
}

Status Library::KeepDamagedCopy(std::string* kept) {
  Impl& d = *impl_;
  kept->clear();
  const std::string path = d.DevicePath(kDatabaseFile);
  if (!fs::FileExists(path)) return Status::OK();
  char when[32];
  const std::time_t now = std::time(nullptr);
  const std::tm local = LocalTime(now);
  std::strftime(when, sizeof when, "%Y%m%d-%H%M%S", &local);
  std::string name = path + ".damaged-" + when;
  for (int n = 2; fs::FileExists(name) || fs::FolderExists(name); ++n)
    name = path + ".damaged-" + when + "-" + std::to_string(n);
  if (Status st = fs::CopyFile(path, name); !st.ok()) return st;
  // The copy reaches the disk together with the repaired database.
  d.copied_since_write = true;
  *kept = name;
  return Status::OK();
}

}  // namespace cadenza
