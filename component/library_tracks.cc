// Library: the track operations: describe, add, edit, delete.
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <unordered_set>

#include "cadenza/library.h"
#include "component/library_impl.h"
#include "component/paths.h"
#include "component/placement.h"
#include "component/track_text.h"
#include "db/library_index.h"
#include "platform/text.h"

namespace cadenza {

namespace {

namespace stdfs = std::filesystem;

// The stored form of a device path: ":" followed by the path below the
// drive root with ":" separators.
std::string StoredLocation(const std::string& root, const std::string& path) {
  std::string rel = path;
  std::replace(rel.begin(), rel.end(), '\\', '/');
  if (!root.empty()) {
    auto r = fs::NativePath(rel).lexically_normal().lexically_relative(
        fs::NativePath(root).lexically_normal());
    if (!r.empty() && *r.begin() != "..") rel = fs::Utf8Path(r);
  }
  while (!rel.empty() && rel.front() == '/') rel.erase(rel.begin());
  std::replace(rel.begin(), rel.end(), '/', ':');
  return ":" + rel;
}

// The path on this computer of a stored location.
std::string LocalPath(const std::string& root, const MHOD_S& o) {
  std::string rel = Utf16ToUtf8(o.sString.u16());
  std::replace(rel.begin(), rel.end(), ':', '/');
  return fs::DevicePath(root, rel);
}

size_t ObjectCount(const MHIT& t) {
  return std::min<size_t>(t.m_mhod.size(), static_cast<size_t>(std::max(t.iNumberOfMHODS, 0)));
}

// Adds an item for the track to the first playlist of `section` (when the
// section has one).
void AddItem(MHSD_P& section, int32_t id, int32_t position) {
  if (section.m_mhlp.m_mhyp.empty()) return;
  MHYP& y = section.m_mhlp.m_mhyp[0];
  size_t n = static_cast<size_t>(std::max(y.iPlaylistItemsCount, 0));
  y.m_mhip.resize(n + 1);
  MHIP& item = y.m_mhip[n];
  item = MHIP{};
  item.iChildCount = 1;
  item.iGroupID = id;
  item.iHeaderSize = 76;
  item.iTotalSize = 120;
  item.iTrackID = id;
  item.sID = "mhip";
  section.iTotalSize += item.iTotalSize;
  y.iTotlaSize += item.iTotalSize;
  y.m_mhod_poe.resize(n + 1);
  MHOD_POE& e = y.m_mhod_poe[n];
  e = MHOD_POE{};
  e.sID = "mhod";
  e.iHeaderSize = 24;
  e.iTotalSize = 44;
  e.iType = static_cast<int32_t>(DataObjectType::kPlaylistEntry);
  e.iPosition = position;
  e.sUnk3 = std::string(16, '\0');
  y.iPlaylistItemsCount = static_cast<int32_t>(n + 1);
}

// Marks every item of `section` that refers to `id`, lowering the sizes.
void MarkItems(MHSD_P& section, int32_t id) {
  for (MHYP& p : section.m_mhlp.m_mhyp) {
    int64_t size = 0;
    int32_t marked = 0;
    size_t n = std::min<size_t>(p.m_mhip.size(),
                                static_cast<size_t>(std::max(p.iPlaylistItemsCount, 0)));
    for (size_t k = 0; k < n; ++k) {
      if (p.m_mhip[k].iTrackID != id) continue;
      p.m_mhip[k].iTrackID = -1;
      ++marked;
      size += p.m_mhip[k].iTotalSize;
    }
    p.iMHYPs2Delete += marked;
    if (size > 0) {
      p.iTotlaSize -= static_cast<int32_t>(size);
      section.iTotalSize -= static_cast<int32_t>(size);
    }
  }
}

// The text fields of a description with their data-object types.
struct TextField {
  DataObjectType type;
  std::string TrackInfo::*field;
};
constexpr TextField kTextFields[] = {
    {DataObjectType::kTitle, &TrackInfo::sTitle},     {DataObjectType::kAlbum, &TrackInfo::sAlbum},
    {DataObjectType::kArtist, &TrackInfo::sArtist},   {DataObjectType::kComment, &TrackInfo::sComment},
    {DataObjectType::kComposer, &TrackInfo::sComposer}, {DataObjectType::kGenre, &TrackInfo::sGenre}};

}  // namespace

int32_t Library::Impl::NextTrackID() {
  // The largest id is remembered between imports, so that adding many
  // tracks does not scan the whole list each time.
  if (max_id < 0) {
    max_id = 0;
    for (const MHIT& t : db.m_MHSD_T.m_mhlt.m_mhit) max_id = std::max(max_id, t.iUniqueID);
  }
  if (max_id == 0x7FFFFFFF) return -1;  // no id left: the caller fails
  return max_id + 1;
}

uint64_t Library::Impl::NewDatabaseID() {
  // Every new track gets an id of its own: the iPod's artwork and
  // play-count files, libgpod and the desktop software key tracks by it.
  // The ids already in the database stay as they are.
  if (!ids_known) {
    db_ids.clear();
    for (const MHIT& t : db.m_MHSD_T.m_mhlt.m_mhit)
      if (t.iDB_ID != 0) db_ids.insert(t.iDB_ID);
    // The generator for folder and file names is seeded when the database
    // has no id yet, as before.
    if (db_ids.empty()) random.SeedFromClock();
    id_random.seed(std::random_device{}() ^
                   static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    ids_known = true;
  }
  uint64_t id = 0;
  while (id == 0 || !db_ids.insert(id).second) id = id_random();
  return id;
}

// Track headers longer than this are not copied for new tracks.
constexpr int32_t kLongestTrackHeader = 1024;

int32_t Library::Impl::RandomNumber() {
  return static_cast<int32_t>(std::floor(random.Next() * 4999 + 1));
}

Status Library::Impl::NewTrack(const TrackInfo& info, MHIT* t) {
  int32_t scaled, as_float;
  if (!SampleRateFields(info.iSampleRateInHz, &scaled, &as_float))
    return Status::IOError("Overflow (sample rate " + std::to_string(info.iSampleRateInHz) + " Hz)",
                           6);
  const int32_t next = NextTrackID();
  if (next < 0) return Status::IOError("Overflow (no track id left)", 6);
  t->sID = "mhit";
  t->iBitrate = info.iBitrateInKbs;
  t->iTrackSize = info.iFileSize;
  t->iTrackTimeLength = info.iTrackTimLength;
  t->iMediaType = info.iType;
  t->iType1 = info.IsVBR;
  t->iType2 = info.sFiletype == "MP3" ? 1 : 0;
  t->iGaplessTrackFlag = 1;
  t->sFiletype = info.sFiletype.size() >= 4 ? info.sFiletype : info.sFiletype + " ";
  t->iDB_ID = NewDatabaseID();
  // The second id is the first one.
  t->iDB_ID2 = t->iDB_ID;
  t->iHasArtwork = 2;
  // In a database with library menus, as long as its own track headers
  // when those are longer: a track's links to the artist and composer
  // lists lie beyond the short header, and a track without them is missing
  // from those menus.
  t->iHeaderSize = 328;
  for (const MHIT& other : db.m_MHSD_T.m_mhlt.m_mhit) {
    if (!HasLibraryIndexes(db)) break;
    if (other.iUniqueID == -1) continue;
    if (other.iHeaderSize > t->iHeaderSize && other.iHeaderSize <= kLongestTrackHeader)
      t->iHeaderSize = other.iHeaderSize;
    break;
  }
  t->iMovieFileFlag = info.IsMovie;
  t->iSampleRate = scaled;
  t->iSampleRate2 = as_float;
  t->iUniqueID = next;
  t->iUnk1 = -1;
  t->iUnk3 = 12;
  t->iVisible = 1;
  return Status::OK();
}

void Library::Impl::SetTagFields(const Tags& tags, const std::string& file, MHIT* t) const {
  auto clamp16 = [](int32_t v) { return std::clamp<int32_t>(v, 0, 0xFFFF); };
  t->iTrackNumber = std::max(tags.track_number, 0);
  t->iTotalTracksNumber = std::max(tags.track_count, 0);
  t->iDiscNumber = std::max(tags.disc_number, 0);
  t->iTotalDisks = std::max(tags.disc_count, 0);
  t->iFlag1 = tags.compilation ? 1 : 0;
  t->iBPM = static_cast<int16_t>(static_cast<uint16_t>(clamp16(tags.bpm)));
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  t->sDateAdded = MacTimeField(now);
  fs::FileStamp stamp;
  const bool dated = fs::StatFile(file, &stamp).ok() && stamp.mtime_ns > 0;
  t->sLastModifiedTime = MacTimeField(dated ? stamp.mtime_ns / 1000000000 : now);
}

namespace {

// Sets the track's text object of `type` to `text` (adding one before the
// location when there is none; removing it for empty text) and its sizes.
void SetTextObject(MHIT& t, DataObjectType type, const std::string& text) {
  t.m_mhod.resize(static_cast<size_t>(std::max(t.iNumberOfMHODS, 0)));
  auto same = [&](const MHOD_S& o) { return IsText(o) && o.iType == static_cast<int32_t>(type); };
  if (text.empty()) {
    std::erase_if(t.m_mhod, same);
  } else {
    auto it = std::find_if(t.m_mhod.begin(), t.m_mhod.end(), same);
    if (it == t.m_mhod.end()) {
      MHOD_S o;
      o.iType = static_cast<int32_t>(type);
      it = t.m_mhod.insert(t.m_mhod.end(), std::move(o));
    }
    it->sString = ToObjectText(text, kMaxNewText);
    CompleteTextObject(*it);
  }
  int64_t total = t.iHeaderSize;
  for (const MHOD_S& o : t.m_mhod) total += o.iTotalSize;
  t.iTotalSize = static_cast<int32_t>(total);
  t.iNumberOfMHODS = static_cast<int32_t>(t.m_mhod.size());
}

// The text objects of a new or rewritten track, in the order they are
// stored; the title falls back to the file's name.
std::vector<MHOD_S> TextObjects(const TrackInfo& info, const std::string& file) {
  std::vector<MHOD_S> objects;
  auto add = [&](DataObjectType type, const std::string& text) {
    if (text.empty()) return;
    MHOD_S& o = objects.emplace_back();
    o.iType = static_cast<int32_t>(type);
    o.sString = ToObjectText(text, kMaxNewText);
  };
  add(DataObjectType::kTitle, info.sTitle.empty() ? fs::FileStem(file) : info.sTitle);
  if (objects.empty()) objects.emplace_back().iType = static_cast<int32_t>(DataObjectType::kTitle);
  add(DataObjectType::kAlbum, info.sAlbum);
  add(DataObjectType::kArtist, info.sArtist);
  add(DataObjectType::kComment, info.sComment);
  add(DataObjectType::kComposer, info.sComposer);
  add(DataObjectType::kGenre, info.sGenre);
  return objects;
}

}  // namespace

Status Library::Describe(int32_t id, TrackInfo* info) const {
  *info = TrackInfo{};
  const MHIT* t = track(id);
  if (!t) return Status::Invalid("Subscript out of range", 9);
  info->iTrackID = t->iUniqueID;
  info->iRememberPlayBackPos = t->iRememPlaybackPos;
  info->iSkipWhenShuffle = t->iSkipWhenShuffle;
  info->iStartTime = t->iStartTime;
  info->iStopTime = t->iStopTime;
  info->IsVBR = t->iType1;
  info->iPlayCount = t->iPlayCount;
  info->iTrackTimLength = t->iTrackTimeLength;
  info->sTrackType = TrimBlanks(Cp1252ToUtf8(t->sFiletype));
  info->iBitrateInKbs = t->iBitrate;
  info->sYear = YearText(t->sTrackYear);
  info->iFileSize = t->iTrackSize;
  for (size_t j = 0; j < ObjectCount(*t); ++j) {
    const MHOD_S& o = t->m_mhod[j];
    if (!IsText(o)) continue;
    if (o.iType == static_cast<int32_t>(DataObjectType::kLocation)) {
      info->sLocation = LocalPath(impl_->root, o);
      continue;
    }
    for (const TextField& f : kTextFields)
      if (o.iType == static_cast<int32_t>(f.type)) info->*f.field = Utf16ToUtf8(o.sString.u16());
  }
  return Status::OK();
}

Status Library::Import(const std::string& file, int32_t* id) {
  return Import(file, ImportOptions{}, id);
}

Status Library::Add(const std::string& file, const TrackInfo& info, const AddOptions& how,
                    int32_t* id) {
  Impl& d = *impl_;
  *id = 0;
  if (!d.loaded) return Status::Invalid("No iPod database is loaded");
  MHLT& list = d.db.m_MHSD_T.m_mhlt;
  const bool replace = how.replace_id != 0;
  MHIT fresh;
  MHIT* t = &fresh;
  if (replace) {
    t = d.FindTrack(how.replace_id);
    if (!t || how.replace_id == -1)
      return Status::Invalid("No track has the id " + std::to_string(how.replace_id), 9);
  } else if (Status st = d.NewTrack(info, t); !st.ok()) {
    return st;
  }

  // The text objects, built aside so that a failed copy changes nothing.
  std::vector<MHOD_S> objects = TextObjects(info, file);
  if (!replace && how.tags) {
    d.SetTagFields(*how.tags, file, t);
    if (!how.tags->album_artist.empty()) {
      MHOD_S& o = objects.emplace_back();
      o.iType = static_cast<int32_t>(DataObjectType::kAlbumArtist);
      o.sString = ToObjectText(how.tags->album_artist, kMaxNewText);
    }
  }
  std::string location;
  if (!how.copy || replace) {
    location = StoredLocation(d.root, how.device_path);
  } else {
    if (Status st = CopyIn(file, info, &location); !st.ok()) return st;
  }
  MHOD_S& where = objects.emplace_back();
  where.iType = static_cast<int32_t>(DataObjectType::kLocation);
  where.sString = ToObjectText(location);

  t->iRememPlaybackPos = info.iRememberPlayBackPos;
  t->iSkipWhenShuffle = info.iSkipWhenShuffle;
  t->iStartTime = info.iStartTime;
  t->iStopTime = info.iStopTime;
  t->sTrackYear = YearField(info.sYear);
  if (replace) d.db.m_MHSD_T.iTotalSize -= t->iTotalSize;
  int64_t total = 0;
  for (MHOD_S& o : objects) {
    CompleteTextObject(o);
    total += o.iTotalSize;
  }
  t->m_mhod = std::move(objects);
  t->iTotalSize = static_cast<int32_t>(t->iHeaderSize + total);
  t->iNumberOfMHODS = static_cast<int32_t>(t->m_mhod.size());
  d.db.m_MHSD_T.iTotalSize += t->iTotalSize;
  d.tracks_changed = true;
  *id = t->iUniqueID;
  if (!replace) {
    list.m_mhit.resize(static_cast<size_t>(std::max(list.iNumberOfllTracks, 0)));
    list.m_mhit.push_back(std::move(fresh));
    d.max_id = std::max(d.max_id, *id);
    ++list.iNumberOfllTracks;
    AddItem(d.db.m_MHSD_PlayLists, *id, d.RandomNumber());
    AddItem(d.db.m_MHSD_Podcasts, *id, d.RandomNumber());
    if (how.covers) d.TakeCover(*id, file, how.original.empty() ? file : how.original);
  }
  return Status::OK();
}

Status Library::CopyIn(const std::string& file, const TrackInfo& info, std::string* location) {
  Impl& d = *impl_;
  // A device that will refuse the database gets no file either, and
  // neither does one that another program is changing or that has no room
  // left for the file and the database that will list it.
  if (Status st = d.Device().refusal; !st.ok()) return st;
  LockScope lock(*this);
  if (Status st = lock.Enter(); !st.ok()) return st;
  if (Status st = d.CheckRoomFor(fs::FileSize(file)); !st.ok()) return st;
  std::string rel;
  if (Status st = ChooseDevicePath(d.root, TrimBlanks(info.sFiletype), d.random, &rel); !st.ok())
    return st;
  *location = rel;
  std::replace(location->begin(), location->end(), '\\', ':');
  d.Report({Progress::Stage::kCopyStart, file});
  const std::string target = d.DevicePath(rel);
  if (Status st = d.CopyOntoDevice(file, target); !st.ok()) {
    // Nothing half-imported stays: the partial file is gone (the copy
    // removes it) and so is the folder made for it when it is empty.
    std::string folder = fs::ParentFolder(target);
    if (fs::FolderExists(folder) && fs::ListDir(folder).empty())
      (void)fs::DeleteFolder(folder, false);
    return st;
  }
  d.copied_since_write = true;
  return Status::OK();
}

Status Library::Impl::CopyOntoDevice(const std::string& from, const std::string& to) {
  // A request made before the copy started was meant for something else.
  cancel = false;
  Status st = fs::CopyFileInPieces(from, to, [this](uint64_t done, uint64_t total) {
    Report({Progress::Stage::kCopy, {}, done, total});
    return !cancel.load();
  });
  // The request has stopped this copy; left set, it would also stop the
  // next rebuild before its first file.
  if (st.code() == Status::Code::kCancelled) cancel = false;
  return st;
}

int64_t Library::Impl::EstimatedFileSize() const {
  int64_t size = int64_t{db.m_MHBD.iHeaderSize} + db.m_MHSD_T.iTotalSize +
                 db.m_MHSD_PlayLists.iTotalSize + db.m_MHSD_Podcasts.iTotalSize +
                 db.m_MHSD_A.iTotalSize + db.m_MHSD_NP.iTotalSize +
                 static_cast<int64_t>(db.m_sTrailingData.size());
  for (const MHSD_A& o : db.m_aOtherSections) size += o.iTotalSize;
  return std::max<int64_t>(size, 0);
}

Status Library::Impl::CheckRoomFor(int64_t size) const {
  // Room for one more track entry, and for what the file system needs
  // beyond the data itself.
  constexpr uint64_t kEntryRoom = 64 * 1024;
  constexpr uint64_t kSlack = 256 * 1024;
  fs::SpaceInfo space;
  // When the file system cannot tell, the copy reports a full disk itself.
  if (size < 0 || !fs::GetSpace(root, &space).ok()) return Status::OK();
  const uint64_t block = std::max<uint64_t>(space.block_size, 512);
  auto rounded = [&](uint64_t n) { return (n + block - 1) / block * block; };
  // The file, the folder made for it, and the new database written beside
  // the old one before it replaces it.
  const uint64_t need = rounded(static_cast<uint64_t>(size)) + block +
                        rounded(static_cast<uint64_t>(EstimatedFileSize()) + kEntryRoom) + kSlack;
  if (space.free_bytes >= need) return Status::OK();
  auto mb = [](uint64_t n) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f MB", static_cast<double>(n) / 1e6);
    return std::string(b);
  };
  return Status::NoSpace("the iPod is full: the file needs " + mb(need) +
                         " with the database, and " + mb(space.free_bytes) + " are free");
}

Status Library::Modify(int32_t id, const TrackInfo& info) {
  Impl& d = *impl_;
  MHIT* t = id == -1 ? nullptr : d.FindTrack(id);
  if (!t) return Status::Invalid("Subscript out of range", 9);
  d.tracks_changed = true;
  const int32_t old_size = t->iTotalSize;
  t->iRememPlaybackPos = info.iRememberPlayBackPos;
  t->iSkipWhenShuffle = info.iSkipWhenShuffle;
  t->iStartTime = info.iStartTime;
  t->iStopTime = info.iStopTime;
  t->iType1 = info.IsVBR;
  t->sTrackYear = YearField(info.sYear);
  bool present[std::size(kTextFields)] = {};
  t->m_mhod.resize(static_cast<size_t>(std::max(t->iNumberOfMHODS, 0)));
  for (MHOD_S& o : t->m_mhod) {
    if (!IsText(o)) continue;
    for (size_t k = 0; k < std::size(kTextFields); ++k) {
      if (o.iType != static_cast<int32_t>(kTextFields[k].type)) continue;
      o.sString = ToObjectText(info.*kTextFields[k].field);
      present[k] = true;
    }
  }
  for (size_t k = 0; k < std::size(kTextFields); ++k) {
    if (present[k]) continue;
    MHOD_S& o = t->m_mhod.emplace_back();
    o.iType = static_cast<int32_t>(kTextFields[k].type);
    o.sString = ToObjectText(info.*kTextFields[k].field, kMaxNewText);
  }
  int64_t total = t->iHeaderSize;
  for (MHOD_S& o : t->m_mhod) {
    if (IsText(o)) CompleteTextObject(o);
    total += o.iTotalSize;
  }
  t->iTotalSize = static_cast<int32_t>(total);
  t->iNumberOfMHODS = static_cast<int32_t>(t->m_mhod.size());
  d.db.m_MHSD_T.iTotalSize += t->iTotalSize - old_size;
  return Status::OK();
}

Status Library::Edit(int32_t id, const TrackEdit& e) {
  TrackInfo info;
  if (!track(id)) return Status::NotFound("No track has the id " + std::to_string(id));
  if (Status st = Describe(id, &info); !st.ok()) return st;
  const int32_t start = e.start_ms.value_or(info.iStartTime);
  const int32_t stop = e.stop_ms.value_or(info.iStopTime);
  if (start < 0 || stop < 0 || (stop != 0 && stop < start))
    return Status::Invalid("the stop position (" + std::to_string(stop) +
                           " ms) lies before the start (" + std::to_string(start) + " ms)");
  if (e.year && (e.year->size() > 4 ||
                 e.year->find_first_not_of("0123456789") != std::string::npos))
    return Status::Invalid("a year is a whole number from 0 to 9999, or empty to clear it");
  // Text given here obeys the same cap as text read from a file's tags.
  auto set = [](std::string& field, const std::optional<std::string>& given) {
    if (given) field = Utf16ToUtf8(ToObjectText(*given, kMaxNewText));
  };
  set(info.sTitle, e.title);
  set(info.sArtist, e.artist);
  set(info.sAlbum, e.album);
  set(info.sGenre, e.genre);
  set(info.sComment, e.comment);
  set(info.sComposer, e.composer);
  if (e.year) info.sYear = *e.year;
  info.iStartTime = start;
  info.iStopTime = stop;
  if (e.skip_when_shuffling) info.iSkipWhenShuffle = *e.skip_when_shuffling;
  if (e.remember_position) info.iRememberPlayBackPos = *e.remember_position;
  for (const auto* n : {&e.track_number, &e.track_count, &e.disc_number, &e.disc_count})
    if (*n && **n < 0) return Status::Invalid("a track or disc number is 0 or more");
  if (e.bpm && (*e.bpm < 0 || *e.bpm > 0xFFFF))
    return Status::Invalid("beats per minute are a whole number from 0 to 65535");
  if (e.rating && (*e.rating < 0 || *e.rating > 5))
    return Status::Invalid("a rating is 0 to 5 stars");
  if (Status st = Modify(id, info); !st.ok()) return st;

  MHIT& t = *impl_->FindTrack(id);
  if (e.track_number) t.iTrackNumber = *e.track_number;
  if (e.track_count) t.iTotalTracksNumber = *e.track_count;
  if (e.disc_number) t.iDiscNumber = *e.disc_number;
  if (e.disc_count) t.iTotalDisks = *e.disc_count;
  if (e.compilation) t.iFlag1 = *e.compilation ? 1 : 0;
  if (e.bpm) t.iBPM = static_cast<int16_t>(static_cast<uint16_t>(*e.bpm));
  // The rating is kept in steps of 20 per star, and as the rating the
  // computer last saw, so the device does not report it as its own change.
  if (e.rating) t.iStartRating = t.iApplicationRating = static_cast<uint8_t>(*e.rating * 20);
  if (e.album_artist) {
    const int32_t old_size = t.iTotalSize;
    SetTextObject(t, DataObjectType::kAlbumArtist, *e.album_artist);
    impl_->db.m_MHSD_T.iTotalSize += t.iTotalSize - old_size;
  }
  return Status::OK();
}

Status Library::Delete(int32_t id) {
  // A device whose database cannot be written keeps its tracks.
  if (Status st = impl_->Device().refusal; !st.ok()) return st;
  std::string file;
  if (Status st = MarkDeleted(id, &file); !st.ok()) return st;
  if (!file.empty()) impl_->doomed_files.push_back(std::move(file));
  return Status::OK();
}

Status Library::MarkDeleted(int32_t id, std::string* file) {
  Impl& d = *impl_;
  file->clear();
  if (id == -1) return Status::Invalid("The track id -1 marks deleted tracks and names no track");
  MHIT* t = d.FindTrack(id);
  if (t) {
    d.max_id = -1;
    if (HasCover(*t) || CoverImageId(*t) != 0)
      d.released_covers.emplace_back(CoverImageId(*t), t->iDB_ID);
    d.cover_changes.erase(id);
    t->iUniqueID = -1;
    d.tracks_changed = true;
    d.db.m_MHSD_T.iTotalSize -= t->iTotalSize;
    ++d.db.m_iDeletedTracks;
  }
  MarkItems(d.db.m_MHSD_PlayLists, id);
  MarkItems(d.db.m_MHSD_Podcasts, id);
  if (!t) return Status::Invalid("No track has the id " + std::to_string(id), 9);
  for (size_t j = 0; j < ObjectCount(*t); ++j) {
    const MHOD_S& o = t->m_mhod[j];
    if (o.iType != static_cast<int32_t>(DataObjectType::kLocation) || !IsText(o)) continue;
    *file = LocalPath(d.root, o);
    break;
  }
  return Status::OK();
}

Status Library::RemoveMusicFile(const std::string& path) {
  Impl& d = *impl_;
  // The path comes from the database file, which anyone can write: resolve
  // case, "..", and symbolic links (the last one too) before deciding, and
  // delete nothing that does not lie below the music folder.
  std::error_code ec;
  const stdfs::path music = stdfs::weakly_canonical(fs::NativePath(d.DevicePath(kMusicFolder)), ec);
  const stdfs::path named = fs::NativePath(fs::ResolveNoCase(path));
  const stdfs::path target = ec ? stdfs::path() : stdfs::weakly_canonical(named, ec);
  // The entry itself, with its folders resolved: a link is removed, not
  // what it points to.
  const stdfs::path entry = ec ? stdfs::path()
                               : stdfs::weakly_canonical(named.parent_path(), ec) /
                                     named.filename();
  auto below_music = [&](const stdfs::path& p) {
    if (p.empty()) return false;
    const stdfs::path r = p.lexically_relative(music);
    return !r.empty() && *r.begin() != ".." && r != ".";
  };
  if (d.root.empty() || ec || !below_music(target) || !below_music(entry))
    return Status::Invalid(path + " does not lie in the iPod's music folders, so it was not deleted");
  if (Status st = fs::DeleteFile(fs::Utf8Path(entry), true); !st.ok()) return st;
  // The folder goes when nothing is left in it; the music folder stays.
  const stdfs::path parent = entry.parent_path();
  if (below_music(parent)) (void)fs::RemoveEmptyFolder(fs::Utf8Path(parent));
  return Status::OK();
}

}  // namespace cadenza
