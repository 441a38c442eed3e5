// Library: cover art. Covers are queued by imports and the cover calls and
// reach the device with the next Save: rendered into the device's formats,
// the slots appended to the .ithmb files and flushed, the ArtworkDB
// replaced, and then the iTunesDB that links the tracks to their images.
#include <algorithm>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "component/library_impl.h"
#include "component/paths.h"
#include "component/track_text.h"
#include "db/codec.h"
#include "db/layout.h"
#include "device/artwork_formats.h"
#include "media/cover.h"
#include "platform/crypto.h"

namespace cadenza {

namespace {

constexpr char kArtworkFolder[] = "iPod_Control\\Artwork";
constexpr char kSysInfoExtended[] = "iPod_Control\\Device\\SysInfoExtended";
// The track header field that names the track's image, and the header
// length a track gets when it needs the field (libgpod's).
constexpr int32_t kCoverLinkAt = kTrackCoverLinkAt;
constexpr int32_t kLinkedHeaderSize = 0x248;

// The formats of the older colour iPods (photo, video, nano 1G/2G), which
// want an image of their own for every track; the later ones let the
// tracks of an album share one.
bool AllowsSharing(const std::vector<ArtworkFormat>& formats) {
  static const std::set<int32_t> kOwnImageFormats = {1016, 1017, 1027, 1028, 1029, 1031};
  return std::any_of(formats.begin(), formats.end(),
                     [](const ArtworkFormat& f) { return !kOwnImageFormats.contains(f.id); });
}

// Sets the image link of a track, lengthening a header too short to hold it.
void SetCoverLink(Database& db, MHIT& t, int32_t link) {
  if (t.iHeaderSize < kCoverLinkAt + 4) {
    if (link == 0) return;
    std::string image = t.sAllData.prefix(std::min(t.sAllData.size(), size_t(t.iHeaderSize))).str();
    image.resize(kLinkedHeaderSize, '\0');
    const int32_t grown = kLinkedHeaderSize - t.iHeaderSize;
    t.iHeaderSize = kLinkedHeaderSize;
    t.iTotalSize += grown;
    db.m_MHSD_T.iTotalSize += grown;
    t.sAllData = Bytes(std::move(image));
  }
  if (Library::CoverImageId(t) == link) return;
  std::string image = t.sAllData.str();
  if (image.size() < static_cast<size_t>(t.iHeaderSize)) image.resize(size_t(t.iHeaderSize), '\0');
  image.replace(kCoverLinkAt, 4, PackLong(link));
  t.sAllData = Bytes(std::move(image));
}

// Marks a track as having the image `image` (0: no cover) made from a
// picture of `size` bytes.
void MarkCover(Database& db, MHIT& t, int32_t image, int64_t size) {
  t.iArtworkCount = image ? 1 : 0;
  t.iArtworkSize = image ? static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX)) : 0;
  t.iHasArtwork = image ? 1 : 2;
  SetCoverLink(db, t, image);
}

// The image of a track in `art`: the one it links to, else (for a track
// marked as having a cover) the one whose song id is its database id.
class ImageFinder {
 public:
  explicit ImageFinder(const ArtworkDB& art) : art_(art) {
    if (const ArtworkSection* s = FindArtworkSection(art, 1))
      for (const ArtworkImage& i : s->images) by_song_.emplace(i.song_id, i.id);
  }
  int32_t Of(const MHIT& t) const {
    const int32_t link = Library::CoverImageId(t);
    if (link != 0 && FindArtworkImage(art_, link)) return link;
    return ByDatabaseId(Library::HasCover(t) ? t.iDB_ID : 0);
  }
  int32_t ByDatabaseId(uint64_t db_id) const {
    auto it = db_id ? by_song_.find(db_id) : by_song_.end();
    return it == by_song_.end() ? 0 : it->second;
  }

 private:
  const ArtworkDB& art_;
  std::unordered_map<uint64_t, int32_t> by_song_;
};

// Identical pictures have the same key: their SHA-1 and length (or, should
// the digest fail, the picture itself).
std::string PictureKey(std::string_view picture) {
  static constexpr char kHex[] = "0123456789abcdef";
  auto digest = crypto::Sha1(picture);
  if (!digest) return std::string(picture);
  std::string key;
  for (uint8_t b : *digest) key += {kHex[b >> 4], kHex[b & 15]};
  return key + ":" + std::to_string(picture.size());
}

}  // namespace

bool Library::HasCover(const MHIT& track) { return track.iHasArtwork == 1; }

int32_t Library::CoverImageId(const MHIT& track) { return TrackCoverLink(track); }

std::string Library::Impl::ArtworkFolder() const { return DevicePath(kArtworkFolder); }

const std::vector<ArtworkFormat>& Library::Impl::ArtworkFormats() const {
  if (!artwork_formats) artwork_formats = ArtworkFormatsFor(root, Device());
  return *artwork_formats;
}

void Library::Impl::QueueCover(int32_t id, std::string_view picture) {
  CoverChange& c = cover_changes[id];
  c.picture.clear();
  if (picture.empty()) return;
  c.picture = PictureKey(picture);
  if (const MHIT* t = FindTrack(id)) c.album = TrackText(*t, DataObjectType::kAlbum);
  cover_pictures.try_emplace(c.picture, picture);
}

void Library::Impl::TakeCover(int32_t id, const std::string& file, const std::string& original) {
  if (ArtworkFormats().empty()) return;
  std::string picture;
  if (ReadEmbeddedCover(file, &picture).ok() ||
      (original != file && ReadEmbeddedCover(original, &picture).ok())) {
    QueueCover(id, picture);
    return;
  }
  const std::string beside = FindCoverBeside(original);
  if (beside.empty() || !fs::ReadFileUpTo(beside, kMaxCoverBytes + 1, &picture).ok() ||
      picture.size() > kMaxCoverBytes || !IsCoverImage(picture))
    return;
  QueueCover(id, picture);
}

Status Library::Impl::PrepareCovers(std::unique_ptr<CoverStore>* out) {
  out->reset();
  if (cover_changes.empty() && released_covers.empty() && !release_all_covers)
    return Status::OK();
  const std::vector<ArtworkFormat>& formats = ArtworkFormats();
  if (formats.empty()) {
    for (auto& [id, change] : cover_changes)
      if (MHIT* t = FindTrack(id)) MarkCover(db, *t, 0, 0);
    return Status::OK();
  }
  auto store = std::make_unique<CoverStore>(ArtworkFolder(), formats);
  if (Status st = store->Load(); !st.ok()) {
    notices.push_back(st.message() +
                      "; no cover was changed (`cadenza check --repair` starts it afresh)");
    return Status::OK();
  }
  ImageFinder images(store->db());
  std::set<int32_t> released;
  if (const ArtworkSection* s = FindArtworkSection(store->db(), 1); s && release_all_covers)
    for (const ArtworkImage& i : s->images) released.insert(i.id);
  for (const auto& [link, db_id] : released_covers)
    if (int32_t i = FindArtworkImage(store->db(), link) ? link : images.ByDatabaseId(db_id)) released.insert(i);
  const bool sharing = AllowsSharing(formats);
  std::map<std::string, int32_t> made;  // by album and picture (or track)
  for (const auto& [id, change] : cover_changes) {
    MHIT* t = FindTrack(id);
    if (!t) continue;
    if (int32_t old = images.Of(*t)) released.insert(old);
    if (change.picture.empty()) {
      MarkCover(db, *t, 0, 0);
      continue;
    }
    const std::string& picture = cover_pictures[change.picture];
    if (t->iDB_ID == 0) t->iDB_ID = NewDatabaseID();
    const std::string key = sharing ? change.album + '\n' + change.picture : std::to_string(id);
    auto it = made.find(key);
    if (it == made.end()) {
      Image decoded;
      int32_t image_id = 0;
      Status st = DecodeImage(picture, &decoded);
      if (st.ok()) st = store->Add(decoded, t->iDB_ID, int32_t(picture.size()) + 1, &image_id);
      if (st.code() == Status::Code::kIOError || st.code() == Status::Code::kNoSpace) return st;
      if (!st.ok()) {
        notices.push_back("The cover of track " + std::to_string(id) + " was left out: " + st.message());
        continue;
      }
      it = made.emplace(key, image_id).first;
    }
    MarkCover(db, *t, it->second, static_cast<int64_t>(picture.size()));
  }
  // Images no live track uses any more go once the new iTunesDB is written;
  // a shared image whose owner went passes to one of the tracks that still
  // use it.
  std::unordered_map<int32_t, std::vector<uint64_t>> users;
  for (const MHIT& t : db.m_MHSD_T.m_mhlt.m_mhit)
    if (t.iUniqueID != -1)
      if (int32_t i = images.Of(t); released.contains(i)) users[i].push_back(t.iDB_ID);
  for (int32_t i : released) {
    auto u = users.find(i);
    if (u == users.end()) {
      store->RemoveLater(i);
    } else if (ArtworkImage* image = FindArtworkImage(&store->db(), i);
               std::find(u->second.begin(), u->second.end(), image->song_id) == u->second.end()) {
      image->song_id = u->second.front();
    }
  }
  *out = std::move(store);
  return Status::OK();
}

void Library::Impl::FinishCovers(CoverStore* store) {
  cover_changes.clear();
  cover_pictures.clear();
  released_covers.clear();
  release_all_covers = false;
  if (!store) return;
  if (Status st = store->CommitRemovals(); !st.ok()) {
    notices.push_back("The images of the covers removed stay in the ArtworkDB: " + st.message());
    return;
  }
  const ArtworkUsage u = store->Usage();
  if ((u.file_bytes - u.used_bytes) * 4 <= u.file_bytes) return;
  if (Status st = store->Compact(); !st.ok())
    notices.push_back("The artwork files were not compacted: " + st.message());
}

Status Library::GetArtworkInfo(ArtworkInfo* out) const {
  const Impl& d = *impl_;
  *out = ArtworkInfo{};
  const std::vector<ArtworkFormat>& formats = d.ArtworkFormats();
  for (const ArtworkFormat& f : formats) out->formats.push_back({f.id, f.width, f.height});
  std::string text;
  if (!formats.empty())
    out->formats_from =
        fs::ReadFileUpTo(d.DevicePath(kSysInfoExtended), 1 << 20, &text).ok() &&
                !ArtworkFormatsFromSysInfoExtended(text).empty()
            ? "SysInfoExtended"
            : "model";
  if (d.loaded)
    for (const MHIT& t : tracks()) out->tracks_with_cover += HasCover(t) ? 1 : 0;
  CoverStore store(d.ArtworkFolder(), formats);
  if (Status st = store.Load(); !st.ok()) {
    out->problem = st.message();
    return Status::OK();
  }
  if (const ArtworkSection* s = FindArtworkSection(store.db(), 1))
    out->images = static_cast<int32_t>(s->images.size());
  const ArtworkUsage u = store.Usage();
  out->files = u.files;
  out->file_bytes = u.file_bytes;
  out->unused_bytes = std::max<int64_t>(u.file_bytes - u.used_bytes, 0);
  return Status::OK();
}

namespace {

// Whether covers can be given to tracks on this device: a colour iPod whose
// ArtworkDB (when it has one) can be read, and a JPEG or PNG picture.
Status CheckCoverChange(const std::vector<ArtworkFormat>& formats, const std::string& folder,
                        const std::string& picture) {
  if (formats.empty()) return Status::Unsupported("This iPod shows no cover art");
  if (!IsCoverImage(picture)) return Status::Unsupported("The picture is not a JPEG or PNG image");
  Image decoded;
  if (Status st = DecodeImage(picture, &decoded); !st.ok()) return st;
  CoverStore store(folder, formats);
  if (Status st = store.Load(); !st.ok())
    return Status::Corrupt(st.message() + "; `cadenza check --repair` starts it afresh");
  return Status::OK();
}

}  // namespace

Status Library::SetCover(int32_t id, const std::string& picture) {
  Impl& d = *impl_;
  if (!d.loaded) return Status::Invalid("No iPod database is loaded");
  if (!d.FindTrack(id) || id == -1) return Status::Invalid("No track has the id " + std::to_string(id), 9);
  if (Status st = CheckCoverChange(d.ArtworkFormats(), d.ArtworkFolder(), picture); !st.ok())
    return st;
  d.QueueCover(id, picture);
  return Status::OK();
}

Status Library::SetAlbumCover(const std::string& album, const std::string& picture,
                              int32_t* count) {
  Impl& d = *impl_;
  *count = 0;
  if (!d.loaded) return Status::Invalid("No iPod database is loaded");
  std::vector<int32_t> ids;
  for (const MHIT& t : tracks())
    if (TrackText(t, DataObjectType::kAlbum) == album) ids.push_back(t.iUniqueID);
  if (ids.empty()) return Status::NotFound("No track has the album \"" + album + "\"");
  if (Status st = CheckCoverChange(d.ArtworkFormats(), d.ArtworkFolder(), picture); !st.ok())
    return st;
  for (int32_t id : ids) d.QueueCover(id, picture);
  *count = static_cast<int32_t>(ids.size());
  return Status::OK();
}

Status Library::RemoveCover(int32_t id) {
  Impl& d = *impl_;
  if (!d.loaded) return Status::Invalid("No iPod database is loaded");
  if (!d.FindTrack(id) || id == -1) return Status::Invalid("No track has the id " + std::to_string(id), 9);
  d.QueueCover(id, {});
  return Status::OK();
}

Status Library::ReadCover(int32_t id, std::string* png) const {
  const Impl& d = *impl_;
  const MHIT* t = track(id);
  if (!t) return Status::Invalid("No track has the id " + std::to_string(id), 9);
  CoverStore store(d.ArtworkFolder(), d.ArtworkFormats());
  if (Status st = store.Load(); !st.ok()) return st;
  const int32_t image_id = ImageFinder(store.db()).Of(*t);
  if (image_id == 0) return Status::NotFound("Track " + std::to_string(id) + " has no cover on the iPod");
  Image image;
  if (Status st = store.Read(image_id, &image); !st.ok()) return st;
  return EncodePng(image, png);
}

Status Library::CompactArtwork(int64_t* freed) {
  Impl& d = *impl_;
  *freed = 0;
  if (!d.loaded) return Status::Invalid("No iPod database is loaded");
  if (Status st = d.Device().refusal; !st.ok()) return st;
  LockScope lock(*this);
  if (Status st = lock.Enter(); !st.ok()) return st;
  CoverStore store(d.ArtworkFolder(), d.ArtworkFormats());
  if (!fs::FolderExists(d.ArtworkFolder())) return Status::OK();
  if (Status st = store.Load(); st.code() == Status::Code::kCorrupt) {
    // Nothing can be read from a damaged index: it is set aside, and the
    // next write gives the tracks no cover and starts a new one.
    const std::string path = fs::ResolveNoCase(d.ArtworkFolder() + "/ArtworkDB");
    if (Status mv = fs::RenameFile(path, path + ".damaged"); !mv.ok()) return mv;
    for (const MHIT& t : tracks())
      if (HasCover(t) || CoverImageId(t) != 0) d.QueueCover(t.iUniqueID, {});
    d.notices.push_back(st.message() + "; it was set aside as ArtworkDB.damaged");
    return Status::OK();
  } else if (!st.ok()) {
    return st;
  }
  // Images no track names (a write stopped between the ArtworkDB and the
  // iTunesDB leaves them) go; tracks deleted since the load still count,
  // as the device's iTunesDB may list them until the next write.
  ImageFinder images(store.db());
  std::set<int32_t> used;
  for (const MHIT& t : d.db.m_MHSD_T.m_mhlt.m_mhit)
    if (int32_t i = images.Of(t)) used.insert(i);
  std::vector<int32_t> unused;
  if (const ArtworkSection* s = FindArtworkSection(store.db(), 1))
    for (const ArtworkImage& i : s->images)
      if (!used.contains(i.id)) unused.push_back(i.id);
  for (int32_t id : unused) store.Remove(id);
  const int64_t before = store.Usage().file_bytes;
  if (Status st = store.Compact(); !st.ok()) return st;
  *freed = before - store.Usage().file_bytes;
  return Status::OK();
}

}  // namespace cadenza
