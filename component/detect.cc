// Finding the device for initlaize and GetiPodDriveString.
#include "component/detect.h"

#include "cadenza/cadenza.h"

namespace cadenza {

std::string AskForiPodDrive(Host& host, const DriveSearch& found) {
  if (!found.question) return found.drive;
  const DriveQuestion& q = *found.question;
  const bool yes = host.MessageBox(q.text, "", kMsgYesNo + kMsgQuestion) == kAnswerYes;
  if (yes == q.browse_on_yes) return DriveRoot(host.BrowseForFolder(q.browse_title));
  return found.drive;
}

void clsCadenza::DetectiPodDrive(int32_t, const std::string& sApplicationName) {
  const Options& o = m_lib.options();
  SetRoot(AskForiPodDrive(*m_host,
                          SearchiPodDrive({o.sysfs_root, o.mountinfo_path}, sApplicationName)));
}

std::string clsCadenza::GetiPodDriveString(int32_t, const std::string& sApplicationName,
                                           bool bConfirm) {
  SetRoot("");
  const Options& o = m_lib.options();
  const std::string drive =
      AskForiPodDrive(*m_host, SearchiPodDrive({o.sysfs_root, o.mountinfo_path}, sApplicationName));
  // A drive found with its iTunes folder, confirmed, or chosen.
  if (!drive.empty() && bConfirm)
    Ask(DriveConfirmation(drive), sApplicationName, kMsgOK + kMsgInformation);
  SetRoot(drive);
  m_status = m_lib.root().empty() ? Status::NotFound("No iPod was found or chosen") : Status::OK();
  return m_lib.root();
}

}  // namespace cadenza
