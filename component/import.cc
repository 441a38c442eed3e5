// AddTrack: puts a media file on the device and enters it in the loaded
// database (or, in its modify form, rewrites an existing track).
#include <cstdio>
#include <filesystem>

#include "cadenza/cadenza.h"
#include "component/device_lock.h"
#include "component/paths.h"
#include "component/track_text.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {

namespace {

std::string FileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}
std::string BaseName(const std::string& path) {
  return std::filesystem::path(path).stem().string();
}

// The stored form of a device path: ":" followed by the path below the
// drive root with ":" separators.
std::string StoredLocation(const std::string& root, const std::string& path) {
  namespace stdfs = std::filesystem;
  std::string rel = path;
  std::replace(rel.begin(), rel.end(), '\\', '/');
  if (!root.empty()) {
    auto r = stdfs::path(rel).lexically_normal().lexically_relative(
        stdfs::path(root).lexically_normal());
    if (!r.empty() && *r.begin() != "..") rel = r.string();
  }
  while (!rel.empty() && rel.front() == '/') rel.erase(rel.begin());
  std::replace(rel.begin(), rel.end(), '/', ':');
  return ":" + rel;
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
  e.iType = 100;
  e.iPosition = position;
  e.sUnk3 = std::string(16, '\0');
  y.iPlaylistItemsCount = static_cast<int32_t>(n + 1);
}

}  // namespace

int32_t clsCadenza::AddTrack(const std::string& sFilePath, TrackInfo& Info, bool bSkipCopy,
                             const std::string& siPodPath, bool bSkipSetInfo,
                             int32_t iModifiedTrackID) {
  m_bRefusalShown = false;
  int32_t r = AddTrackImpl(sFilePath, Info, bSkipCopy, siPodPath, bSkipSetInfo, iModifiedTrackID);
  if (r == -1 && !m_status.ok() && m_status.code() != Status::Code::kCancelled &&
      m_status.code() != Status::Code::kInvalid && !m_bRefusalShown) {
    Ask("Error while adding " + sFilePath + kCrLf + m_status.message(), "",
        kMsgOK | kMsgCritical);
  }
  return r;
}

int32_t clsCadenza::AddTrackImpl(const std::string& sFilePath, TrackInfo& Info,
                                 bool bSkipCopy, const std::string& siPodPath,
                                 bool bSkipSetInfo, int32_t iModifiedTrackID) {
  const bool modify = sFilePath.empty() && !siPodPath.empty() && iModifiedTrackID != 0;
  if (!bSkipSetInfo) {
    SetTrackInfo(sFilePath, Info);
    if (!Info.isFileSupported) {
      // A file that could not be read keeps the reason it could not.
      if (m_status.ok()) m_status = Status::Unsupported("The file is not supported: " + sFilePath);
      return -2;
    }
  }
  if (!m_bDBLoaded) {
    // Work on the device's own database; an empty one is installed only
    // when the device has none (the loader asks).
    if (!LoadiPodDB()) {
      if (m_status.ok()) m_status = Status::NotFound("No iPod database is loaded");
      return -1;
    }
  }
  MHLT& list = m_MHSD_T.m_mhlt;

  MHIT fresh;
  MHIT* t = &fresh;
  if (modify) {
    t = nullptr;
    for (MHIT& k : list.m_mhit)
      if (k.iUniqueID == iModifiedTrackID) {
        t = &k;
        break;
      }
    if (!t) {
      m_status = Status::Invalid("No track has the id " + std::to_string(iModifiedTrackID), 9);
      return -1;
    }
  } else {
    int32_t scaled, as_float;
    if (!SampleRateFields(Info.iSampleRateInHz, &scaled, &as_float)) {
      m_status = Status::IOError("Overflow (sample rate " + std::to_string(Info.iSampleRateInHz) +
                                 " Hz)", 6);
      return -1;
    }
    int32_t id = GetNextTrackID();
    if (id < 0) {
      m_status = Status::IOError("Overflow (no track id left)", 6);
      return -1;
    }
    t->sID = "mhit";
    t->iBitrate = Info.iBitrateInKbs;
    t->iTrackSize = Info.iFileSize;
    t->iTrackTimeLength = Info.iTrackTimLength;
    t->iMediaType = Info.iType;
    t->iType1 = Info.IsVBR;
    t->iType2 = Info.sFiletype == "MP3" ? 1 : 0;
    t->iGaplessTrackFlag = 1;
    t->sFiletype = Info.sFiletype.size() >= 4 ? Info.sFiletype : Info.sFiletype + " ";
    t->iDB_ID = std::stoull(GetTrackDBID());
    // The second id is drawn after the first has been given to the new
    // track, so both are the same.
    t->iDB_ID2 = t->iDB_ID;
    t->iHasArtwork = 2;
    t->iHeaderSize = 328;
    t->iMovieFileFlag = Info.IsMovie;
    t->iSampleRate = scaled;
    t->iSampleRate2 = as_float;
    t->iUniqueID = id;
    t->iUnk1 = -1;
    t->iUnk3 = 12;
    t->iVisible = 1;
  }
  t->iRememPlaybackPos = Info.iRememberPlayBackPos;
  t->iSkipWhenShuffle = Info.iSkipWhenShuffle;
  t->iStartTime = Info.iStartTime;
  t->iStopTime = Info.iStopTime;
  t->sTrackYear = YearField(Info.sYear);

  // The text objects, built aside so that a failed copy changes nothing.
  std::vector<MHOD_S> objects;
  auto add = [&](int32_t type, const std::string& text) {
    MHOD_S& o = objects.emplace_back();
    o.iType = type;
    o.sString = ToObjectText(text, kMaxNewText);
  };
  add(1, Info.sTitle.empty() ? BaseName(sFilePath) : Info.sTitle);
  if (!Info.sAlbum.empty()) add(3, Info.sAlbum);
  if (!Info.sArtist.empty()) add(4, Info.sArtist);
  if (!Info.sComment.empty()) add(8, Info.sComment);
  if (!Info.sComposer.empty()) add(12, Info.sComposer);
  if (!Info.sGenre.empty()) add(5, Info.sGenre);

  std::string location;
  if (bSkipCopy || modify) {
    location = StoredLocation(m_siPodDrive, siPodPath);
  } else {
    // A device that will refuse the database gets no file either, and
    // neither does one that another program is changing or that has no
    // room left for the file and the database that will list it.
    if (Status st = CheckWritable(); !st.ok()) return -1;
    DeviceLockScope lock(*this);
    if (Status st = lock.Enter(); !st.ok()) {
      m_status = st;
      return -1;
    }
    if (Status st = CheckRoomFor(fs::FileSize(sFilePath)); !st.ok()) {
      m_status = st;
      return -1;
    }
    std::string rel = ChooseDevicePath(TrimBlanks(Info.sFiletype));
    if (rel.empty()) {
      if (m_status.ok()) m_status = Status::IOError("No place for the file on the device");
      return -1;
    }
    location = rel;
    std::replace(location.begin(), location.end(), '\\', ':');
    m_host->CurrentStatus("Copying File " + FileName(sFilePath), -1);
    std::string target = DevicePath(rel);
    Status st = CopyFileWithProgress(sFilePath, target);
    if (!st.ok()) {
      // Nothing half-imported stays: the partial file is gone (the copy
      // removes it) and so is the folder made for it when it is empty.
      std::string folder = std::filesystem::path(target).parent_path().string();
      if (fs::FolderExists(folder) && fs::ListDir(folder).empty())
        fs::DeleteFolder(folder, false);
      m_status = st;
      return -1;
    }
    m_bCopiedSinceWrite = true;
  }
  {
    MHOD_S& o = objects.emplace_back();
    o.iType = 2;
    o.sString = ToObjectText(location);
  }

  if (modify) m_MHSD_T.iTotalSize -= t->iTotalSize;
  int64_t total = 0;
  for (MHOD_S& o : objects) {
    CompleteTextObject(o);
    total += o.iTotalSize;
  }
  t->m_mhod = std::move(objects);
  t->iTotalSize = static_cast<int32_t>(t->iHeaderSize + total);
  t->iNumberOfMHODS = static_cast<int32_t>(t->m_mhod.size());
  m_MHSD_T.iTotalSize += t->iTotalSize;
  const int32_t id = t->iUniqueID;
  if (!modify) {
    list.m_mhit.resize(static_cast<size_t>(std::max(list.iNumberOfllTracks, 0)));
    list.m_mhit.push_back(std::move(fresh));
    m_iMaxIDCache = std::max(m_iMaxIDCache, id);
    ++list.iNumberOfllTracks;
    AddItem(m_MHSD_PlayLists, id, GetRandomNumber());
    AddItem(m_MHSD_Podcasts, id, GetRandomNumber());
  }
  m_status = Status::OK();
  return id;
}

int64_t clsCadenza::EstimatedFileSize() const {
  int64_t size = int64_t{m_MHBD.iHeaderSize} + m_MHSD_T.iTotalSize + m_MHSD_PlayLists.iTotalSize +
                 m_MHSD_Podcasts.iTotalSize + m_MHSD_A.iTotalSize + m_MHSD_NP.iTotalSize +
                 static_cast<int64_t>(m_sTrailingData.size());
  for (const MHSD_A& o : m_aOtherSections) size += o.iTotalSize;
  return std::max<int64_t>(size, 0);
}

Status clsCadenza::CheckRoomFor(int64_t size) {
  // Room for one more track entry, and for what the file system needs
  // beyond the data itself.
  constexpr uint64_t kEntryRoom = 64 * 1024;
  constexpr uint64_t kSlack = 256 * 1024;
  fs::SpaceInfo space;
  // When the file system cannot tell, the copy reports a full disk itself.
  if (size < 0 || !fs::GetSpace(m_siPodDrive, &space).ok()) return Status::OK();
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

Status clsCadenza::CopyFileWithProgress(const std::string& sSource,
                                        const std::string& sTarget) {
  SetCancelRequest(0);
  Status st = fs::CopyFileInPieces(sSource, sTarget, [this](uint64_t done, uint64_t total) {
    m_host->CopyProgress(done, total);
    // Two turns of the host's message loop per piece, so the host can ask
    // to cancel.
    m_host->DoEvents();
    m_host->DoEvents();
    return CancelRequested() == 0;
  });
  // The request has stopped this copy; left set, it would also stop the
  // next rebuild before its first file.
  if (st.code() == Status::Code::kCancelled) SetCancelRequest(0);
  return st;
}

}  // namespace cadenza
