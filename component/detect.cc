// Finding the device for initlaize and GetiPodDriveString.
#include "device/detect.h"

#include "cadenza/cadenza.h"

namespace cadenza {

void clsCadenza::DetectiPodDrive(int32_t, const std::string& sApplicationName) {
  m_siPodDrive.clear();
  m_siPodDrive = cadenza::DetectiPodDrive(
      *m_host, {m_options.sysfs_root, m_options.mountinfo_path}, sApplicationName, nullptr);
}

std::string clsCadenza::GetiPodDriveString(int32_t, const std::string& sApplicationName,
                                           bool bConfirm) {
  m_siPodDrive.clear();
  m_siPodDrive = cadenza::GetiPodDriveString(
      *m_host, {m_options.sysfs_root, m_options.mountinfo_path}, sApplicationName, bConfirm);
  m_status = m_siPodDrive.empty() ? Status::NotFound("No iPod was found or chosen") : Status::OK();
  return m_siPodDrive;
}

}  // namespace cadenza
