// clsCadenza: construction, the small members and the queries.
#include "cadenza/cadenza.h"

#include <atomic>

#include "component/paths.h"
#include "platform/fs.h"
#include "platform/lock.h"

namespace cadenza {

namespace {
std::atomic<int32_t> g_bCancelUpdate{0};
SilentHost g_silent_host;
}  // namespace

int32_t CancelRequested() { return g_bCancelUpdate.load(); }
void SetCancelRequest(int32_t value) { g_bCancelUpdate = value; }

clsCadenza::clsCadenza(Host* host, Options options)
    : m_host(host ? host : &g_silent_host), m_options(std::move(options)) {}

clsCadenza::~clsCadenza() = default;
clsCadenza::clsCadenza(clsCadenza&&) noexcept = default;
clsCadenza& clsCadenza::operator=(clsCadenza&&) noexcept = default;

Status clsCadenza::LockDevice() {
  if (m_lock) return Status::OK();
  // The lock file lives in the control folder; a folder without one is
  // not a device to change.
  if (m_siPodDrive.empty() || !fs::FolderExists(DevicePath(kControlFolder)))
    return Status::NotFound((m_siPodDrive.empty() ? std::string("The device") : m_siPodDrive) +
                                " has no iPod_Control folder, so it is not an iPod",
                            76);
  return FileLock::Acquire(DevicePath(kLockFile), m_options.lock_wait_ms, &m_lock);
}

void clsCadenza::UnlockDevice() { m_lock.reset(); }

void clsCadenza::initlaize(int32_t hParentWindow, const std::string& sApplicationName,
                           const std::string& siPodDrive) {
  m_sApplicationName = sApplicationName;
  m_status = Status::OK();
  if (siPodDrive.empty()) {
    DetectiPodDrive(hParentWindow, sApplicationName);
  } else {
    // Every device path is the root followed by a relative path, so the
    // root always ends in a separator.
    m_siPodDrive = siPodDrive;
    if (m_siPodDrive.back() != '/') m_siPodDrive += '/';
  }
}

std::string clsCadenza::iPodDriveLetter() const { return m_siPodDrive; }
void clsCadenza::iPodShuffle(bool bSet) { m_bShuffle = bSet; }
bool clsCadenza::iPodShuffle() const { return m_bShuffle; }

Variant clsCadenza::CancelUpdate() {
  SetCancelRequest(-1);
  return {};
}

MHBD clsCadenza::GetDBInfo() const { return m_MHBD; }
MHSD_T clsCadenza::GetAllTracks() const { return m_MHSD_T; }
MHSD_P clsCadenza::GetAllPlayLists() const { return m_MHSD_PlayLists; }
MHSD_P clsCadenza::GetAllPodcasts() const { return m_MHSD_Podcasts; }
MHSD_A clsCadenza::GetAllAlbumPlayLists() const { return m_MHSD_A; }
MHSD_NP clsCadenza::GetAllNewPlayLists() const { return m_MHSD_NP; }

Variant clsCadenza::GetVideoInformation(const std::string&) { return {}; }

std::string clsCadenza::ComponentFolder() const {
  if (!m_options.component_folder.empty()) return m_options.component_folder;
  std::string exe = fs::ProgramFolder();
  if (fs::FileExists(exe + "/" + kTemplateName)) return exe;
  std::string share = exe + "/../share/cadenza";
  if (fs::FileExists(share + "/" + kTemplateName)) return share;
  return exe;
}

std::string clsCadenza::DevicePath(const std::string& rel) const {
  return fs::DevicePath(m_siPodDrive, rel);
}

int clsCadenza::Ask(const std::string& text, const std::string& title, int style) {
  return m_host->MessageBox(text, title, style);
}

}  // namespace cadenza
