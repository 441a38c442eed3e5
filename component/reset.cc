// ResetiPodDB and InstallBlankDB: an empty database on the device.
#include "cadenza/cadenza.h"
#include "component/device_lock.h"
#include "component/paths.h"
#include "platform/fs.h"

namespace cadenza {

bool clsCadenza::ResetiPodDB() { return InstallBlankDB(); }

bool clsCadenza::InstallBlankDB() {
  if (m_siPodDrive.empty() || !fs::FolderExists(m_siPodDrive)) {
    m_status = Status::NotFound("The iPod is not connected", 76);
    return false;
  }
  if (Status st = CheckWritable(); !st.ok()) return false;
  auto fail = [&](const Status& st) {
    m_status = st;
    Ask("Error occured while copying iPod DB." + std::string(kCrLf) + "Error Number:" +
            std::to_string(st.number()) + ":" + st.message(),
        "", kMsgOK | kMsgCritical);
    return false;
  };
  for (const char* folder : {kControlFolder, kITunesFolder}) {
    std::string path = DevicePath(folder);
    if (!fs::FolderExists(path)) {
      if (Status st = fs::CreateFolder(path); !st.ok()) return fail(st);
    }
  }
  DeviceLockScope lock(*this);
  if (Status st = lock.Enter(); !st.ok()) return fail(st);
  std::string blank;
  if (!ReadBlankTemplate(&blank).ok()) return false;
  // The template becomes the device's database file, the one the loader
  // reads; it replaces a damaged one in a single step.
  if (Status st = StoreDatabase(std::move(blank), false); !st.ok()) return fail(st);
  m_status = Status::OK();
  return true;
}

Status clsCadenza::ReadBlankTemplate(std::string* image) {
  const std::string source = ComponentFolder() + "/" + kTemplateName;
  if (!fs::FileExists(source) || !fs::ReadWholeFile(source, image).ok()) {
    m_status = Status::NotFound("The blank database template is missing: " + source);
    Ask("Cadenza file is missing, Please reinstall the application", "", kMsgOK | kMsgCritical);
    return m_status;
  }
  return Status::OK();
}

}  // namespace cadenza
