// clsCadenza's track members: AddTrack, ReBuildDB, GetTrackInfo,
// ModifyTrack and DeleteTrack.
#include "cadenza/cadenza.h"
#include "component/paths.h"
#include "platform/fs.h"

namespace cadenza {

void clsCadenza::ShowAddError(const std::string& file, const Status& st) {
  if (st.ok() || st.code() == Status::Code::kCancelled || st.code() == Status::Code::kInvalid ||
      m_bRefusalShown)
    return;
  Ask("Error while adding " + file + kCrLf + st.message(), "", kMsgOK | kMsgCritical);
}

int32_t clsCadenza::AddTrack(const std::string& sFilePath, TrackInfo& Info, bool bSkipCopy,
                             const std::string& siPodPath, bool bSkipSetInfo,
                             int32_t iModifiedTrackID) {
  m_bRefusalShown = false;
  m_lib.SetProgressCallback([this](const Progress& p) { OnProgress(p); });
  int32_t r = AddTrackImpl(sFilePath, Info, bSkipCopy, siPodPath, bSkipSetInfo, iModifiedTrackID);
  if (r == -1) ShowAddError(sFilePath, m_status);
  return r;
}

int32_t clsCadenza::AddTrackImpl(const std::string& sFilePath, TrackInfo& Info, bool bSkipCopy,
                                 const std::string& siPodPath, bool bSkipSetInfo,
                                 int32_t iModifiedTrackID) {
  const bool modify = sFilePath.empty() && !siPodPath.empty() && iModifiedTrackID != 0;
  if (!bSkipSetInfo) {
    SetTrackInfo(sFilePath, Info);
    if (!Info.isFileSupported) {
      // A file that could not be read keeps the reason it could not.
      if (m_status.ok()) m_status = Status::Unsupported("The file is not supported: " + sFilePath);
      return -2;
    }
  }
  // Work on the device's own database; an empty one is installed only when
  // the device has none (the loader asks).
  if (!m_lib.loaded() && !LoadiPodDB()) {
    if (m_status.ok()) m_status = Status::NotFound("No iPod database is loaded");
    return -1;
  }
  AddOptions how;
  how.copy = !bSkipCopy && !modify;
  how.device_path = siPodPath;
  how.replace_id = modify ? iModifiedTrackID : 0;
  if (!bSkipSetInfo && m_sLastTagsFile == sFilePath) how.tags = m_lastTags;
  // A device that will refuse the database gets no file either.
  if (how.copy && !CheckWritable().ok()) return -1;
  int32_t id = 0;
  m_status = m_lib.Add(sFilePath, Info, how, &id);
  return m_status.ok() ? id : -1;
}

bool clsCadenza::ReBuildDB() {
  m_lib.SetProgressCallback([this](const Progress& p) { OnProgress(p); });
  m_bRebuildFiles = false;
  m_bRefusalShown = false;
  const std::string& root = m_lib.root();
  bool can_start = !root.empty() && fs::FolderExists(root);
  if (!can_start) m_status = Status::NotFound("The iPod is not connected", 76);
  can_start = can_start && CheckWritable().ok();
  // The lock is held from here to the end of the rebuild.
  const bool held = m_lib.locked();
  if (can_start && !held) {
    m_status = m_lib.Lock();
    can_start = m_status.ok();
  }
  can_start = can_start && HasBlankTemplate();
  if (can_start) m_status = m_lib.Rebuild();
  if (!held) m_lib.Unlock();
  if (!can_start) {
    m_host->RebuildStatus("Rebuilding Failed.");
    return false;
  }
  if (m_status.ok()) {
    m_host->RebuildStatus("DONE");
    return true;
  }
  // A write that failed says why, as every write does.
  if (m_bRebuildFiles && m_status.code() != Status::Code::kNotFound &&
      m_status.code() != Status::Code::kCancelled) {
    const Status failed = m_status;
    Ask("Error occured while writting iPod DB." + std::string(kCrLf) + "Err Number:" +
            std::to_string(failed.number()) + "," + failed.message(),
        "", kMsgOK | kMsgCritical);
    m_status = failed;
  }
  if (m_bRebuildFiles) m_host->RebuildStatus("ERROR");
  return false;
}

TrackInfo clsCadenza::GetTrackInfo(int32_t iTrackID) {
  TrackInfo info;
  m_status = m_lib.Describe(iTrackID, &info);
  return info;
}

bool clsCadenza::ModifyTrack(int32_t iTrackID, const TrackInfo& Info) {
  m_status = m_lib.Modify(iTrackID, Info);
  return false;
}

Variant clsCadenza::DeleteTrack(int32_t iTrackID) {
  if (iTrackID == -1) {
    // -1 is the deletion mark itself; it names no track.
    m_status = Status::Invalid("The track id -1 marks deleted tracks and names no track");
    return {};
  }
  // The file goes at once; a device whose database cannot be written keeps
  // both, and so does a device that another program is changing.
  if (!CheckWritable().ok()) return {};
  const bool held = m_lib.locked();
  if (!held) {
    if (m_status = m_lib.Lock(); !m_status.ok()) return {};
  }
  std::string file;
  m_status = m_lib.MarkDeleted(iTrackID, &file);
  if (m_status.ok()) {
    m_status = file.empty() ? Status::NotFound("The track has no location; no file was deleted")
                            : m_lib.RemoveMusicFile(file);
  }
  if (!held) m_lib.Unlock();
  return {};
}

Status clsCadenza::MarkTrackDeleted(int32_t iTrackID, std::string* file) {
  return m_status = m_lib.MarkDeleted(iTrackID, file);
}

Status clsCadenza::RemoveMusicFile(const std::string& path) {
  return m_status = m_lib.RemoveMusicFile(path);
}

}  // namespace cadenza
