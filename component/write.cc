// WriteiPodDB and Write_FileSize: the records back to the device file.
#include "cadenza/cadenza.h"
#include "component/paths.h"
#include "db/codec.h"
#include "db/writer.h"
#include "device/device_info.h"
#include "platform/fs.h"

namespace cadenza {

Variant clsCadenza::WriteiPodDB() {
  if (!m_bDBLoaded) {
    // Writing records that were never loaded would replace the device's
    // database with an almost empty file.
    m_status = Status::Invalid("No iPod database is loaded; nothing was written");
    Ask("No iPod database is loaded, so nothing was written." + std::string(kCrLf) +
            "Load the iPod database before writing it.",
        "", kMsgOK | kMsgCritical);
    return {};
  }
  if (Status st = CheckWritable(); !st.ok()) return {};
  const std::string path = DevicePath(kDatabaseFile);
  auto report = [&](const Status& st) {
    m_status = st;
    Ask("Error occured while writting iPod DB." + std::string(kCrLf) + "Err Number:" +
            std::to_string(st.number()) + "," + st.message(),
        "", kMsgOK | kMsgCritical);
  };
  if (!fs::FileExists(path)) {
    report(Status::NotFound("File not found", 53));
    return {};
  }

  std::string image;
  WriteStage stage;
  Status st = BuildDatabaseImage(*this, &image, &stage);
  if (!st.ok()) {
    m_status = st;
    if (stage == WriteStage::kTrackList || stage == WriteStage::kPlaylists) {
      Ask(std::string("Error Occured while writing Database[") +
              (stage == WriteStage::kTrackList ? "MHSD_T" : "MHSD_P") + "]." + kCrLf +
              std::to_string(st.number()) + ":" + st.message(),
          "", kMsgOK);
    } else {
      report(st);
    }
    return {};
  }
  // Devices that check a signature get the complete file signed; the
  // signature is verified before anything reaches the device.
  st = SignForDevice(ReadDeviceInfo(m_siPodDrive, {m_options.sysfs_root, m_options.mountinfo_path}),
                     &image);
  if (!st.ok()) {
    report(st);
    return {};
  }
  st = fs::WriteFileAtomic(path, image);
  if (!st.ok()) {
    report(st);
    return {};
  }
  m_status = Status::OK();
  return {};
}

Status clsCadenza::CheckWritable() {
  DeviceInfo info = ReadDeviceInfo(m_siPodDrive, {m_options.sysfs_root, m_options.mountinfo_path});
  if (!info.refusal.ok()) {
    m_status = info.refusal;
    m_bRefusalShown = true;
    Ask("The iPod database was not written, and nothing was changed." + std::string(kCrLf) +
            info.refusal.message(),
        "", kMsgOK | kMsgCritical);
  }
  return info.refusal;
}

bool clsCadenza::Write_FileSize(const std::string& sFilePath) {
  int64_t len = fs::FileSize(sFilePath);
  m_status = len < 0 ? Status::NotFound("File not found: " + sFilePath)
                     : fs::WriteAt(sFilePath, 8, PackLong(static_cast<int32_t>(len)));
  return false;
}

}  // namespace cadenza
