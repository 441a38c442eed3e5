// WriteiPodDB, Write_FileSize, ResetiPodDB: the records, or the blank
// database, onto the device.
#include "cadenza/cadenza.h"
#include "component/library_impl.h"
#include "component/paths.h"
#include "db/codec.h"

namespace cadenza {

Variant clsCadenza::WriteiPodDB() {
  if (!m_lib.loaded()) {
    // Writing records that were never loaded would replace the device's
    // database with an almost empty file.
    m_status = Status::Invalid("No iPod database is loaded; nothing was written");
    Ask("No iPod database is loaded, so nothing was written." + std::string(kCrLf) +
            "Load the iPod database before writing it.",
        "", kMsgOK | kMsgCritical);
    return {};
  }
  if (CheckWritable().ok()) WriteRecords();
  return {};
}

Status clsCadenza::WriteRecords() {
  m_status = m_lib.Save();
  if (m_status.ok()) return m_status;
  const WriteStage stage = m_lib.impl_->last_write_stage;
  m_lib.impl_->last_write_stage = WriteStage::kNone;
  if (stage == WriteStage::kTrackList || stage == WriteStage::kPlaylists) {
    Ask(std::string("Error Occured while writing Database[") +
            (stage == WriteStage::kTrackList ? "MHSD_T" : "MHSD_P") + "]." + kCrLf +
            std::to_string(m_status.number()) + ":" + m_status.message(),
        "", kMsgOK);
  } else {
    Ask("Error occured while writting iPod DB." + std::string(kCrLf) + "Err Number:" +
            std::to_string(m_status.number()) + "," + m_status.message(),
        "", kMsgOK | kMsgCritical);
  }
  return m_status;
}

Status clsCadenza::CheckWritable() {
  const Status& refusal = m_lib.device().writable;
  if (!refusal.ok()) {
    m_status = refusal;
    m_bRefusalShown = true;
    Ask("The iPod database was not written, and nothing was changed." + std::string(kCrLf) +
            refusal.message(),
        "", kMsgOK | kMsgCritical);
  }
  return refusal;
}

bool clsCadenza::Write_FileSize(const std::string& sFilePath) {
  int64_t len = fs::FileSize(sFilePath);
  m_status = len < 0 ? Status::NotFound("File not found: " + sFilePath)
                     : fs::WriteAt(sFilePath, 8, PackLong(static_cast<int32_t>(len)));
  return false;
}

bool clsCadenza::ResetiPodDB() { return InstallBlankDB(); }

bool clsCadenza::HasBlankTemplate() {
  std::string image;
  m_status = m_lib.impl_->ReadBlankTemplate(&image);
  if (!m_status.ok())
    Ask("Cadenza file is missing, Please reinstall the application", "", kMsgOK | kMsgCritical);
  return m_status.ok();
}

bool clsCadenza::InstallBlankDB() {
  const std::string& root = m_lib.root();
  if (root.empty() || !fs::FolderExists(root)) {
    m_status = Status::NotFound("The iPod is not connected", 76);
    return false;
  }
  if (!CheckWritable().ok()) return false;
  if (!HasBlankTemplate()) return false;
  m_status = m_lib.impl_->InstallBlank();
  if (m_status.ok()) return true;
  Ask("Error occured while copying iPod DB." + std::string(kCrLf) + "Error Number:" +
          std::to_string(m_status.number()) + ":" + m_status.message(),
      "", kMsgOK | kMsgCritical);
  return false;
}

}  // namespace cadenza
