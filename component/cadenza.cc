// clsCadenza: construction, the small members, the queries and the events.
#include "cadenza/cadenza.h"


#include "component/library_impl.h"
#include "component/paths.h"
#include "media/ffmpeg.h"

namespace cadenza {

namespace {
SilentHost g_silent_host;
}  // namespace

clsCadenza::clsCadenza(Host* host, Options options)
    : m_host(host ? host : &g_silent_host), m_lib("", std::move(options)) {}

clsCadenza::~clsCadenza() = default;
// The library's progress callback points at the object that set it, so a
// moved object starts without one; each operation that reports sets it.
clsCadenza::clsCadenza(clsCadenza&& o) noexcept
    : m_host(o.m_host),
      m_lib(std::move(o.m_lib)),
      m_sApplicationName(std::move(o.m_sApplicationName)),
      m_bRefusalShown(o.m_bRefusalShown),
      m_status(std::move(o.m_status)) {
  m_lib.SetProgressCallback(nullptr);
}
clsCadenza& clsCadenza::operator=(clsCadenza&& o) noexcept {
  m_host = o.m_host;
  m_lib = std::move(o.m_lib);
  m_lib.SetProgressCallback(nullptr);
  m_sApplicationName = std::move(o.m_sApplicationName);
  m_bRefusalShown = o.m_bRefusalShown;
  m_status = std::move(o.m_status);
  return *this;
}

Status clsCadenza::LockDevice() { return m_lib.Lock(); }
void clsCadenza::UnlockDevice() { m_lib.Unlock(); }

void clsCadenza::initlaize(int32_t hParentWindow, const std::string& sApplicationName,
                           const std::string& siPodDrive) {
  m_sApplicationName = sApplicationName;
  m_status = Status::OK();
  if (siPodDrive.empty()) {
    DetectiPodDrive(hParentWindow, sApplicationName);
  } else {
    // Every device path is the root followed by a relative path, so the
    // root always ends in a separator (the library sees to it).
    SetRoot(siPodDrive);
  }
}

void clsCadenza::SetRoot(const std::string& root) {
  Options o = m_lib.options();
  m_lib = Library(root, std::move(o));
}

std::string clsCadenza::ComponentFolder() const { return m_lib.impl_->ComponentFolder(); }

std::string clsCadenza::iPodDriveLetter() const { return m_lib.root(); }
void clsCadenza::iPodShuffle(bool bSet) { m_lib.set_shuffle(bSet); }
bool clsCadenza::iPodShuffle() const { return m_lib.options().shuffle; }

Variant clsCadenza::CancelUpdate() {
  m_lib.Cancel();
  return {};
}

MHBD clsCadenza::GetDBInfo() const { return m_lib.database().m_MHBD; }
MHSD_T clsCadenza::GetAllTracks() const { return m_lib.database().m_MHSD_T; }
MHSD_P clsCadenza::GetAllPlayLists() const { return m_lib.database().m_MHSD_PlayLists; }
MHSD_P clsCadenza::GetAllPodcasts() const { return m_lib.database().m_MHSD_Podcasts; }
MHSD_A clsCadenza::GetAllAlbumPlayLists() const { return m_lib.database().m_MHSD_A; }
MHSD_NP clsCadenza::GetAllNewPlayLists() const { return m_lib.database().m_MHSD_NP; }

Variant clsCadenza::GetVideoInformation(const std::string&) { return {}; }

void clsCadenza::ShowAnalysisError(const Status& st) {
  Ask(AnalysisErrorMessage(st), "", kMsgCritical | kMsgOK);
}

int clsCadenza::Ask(const std::string& text, const std::string& title, int style) {
  return m_host->MessageBox(text, title, style);
}

void clsCadenza::OnProgress(const Progress& p) {
  auto events = [&](int n) {
    for (int i = 0; i < n; ++i) m_host->DoEvents();
  };
  using Stage = Progress::Stage;
  switch (p.stage) {
    case Stage::kAnalyse:
      m_host->DoEvents();
      break;
    case Stage::kAnalyserError:
      ShowAnalysisError(*p.status);
      break;
    case Stage::kCopyStart:
      m_host->CurrentStatus(
          "Copying File " + fs::FileName(p.item), -1);
      break;
    case Stage::kCopy:
      m_host->CopyProgress(p.done, p.total);
      // Two turns of the host's message loop per piece, so the host can ask
      // to cancel.
      events(2);
      break;
    case Stage::kRebuildStart:
      m_host->RebuildStatus("Loading Current DB...");
      events(5);
      break;
    case Stage::kRebuildList:
      m_host->RebuildStatus("Retrieving Files...");
      events(5);
      break;
    case Stage::kRebuildFile:
      m_bRebuildFiles = true;
      m_host->RebuildStatus("Adding File  " + std::string(p.item));
      events(2);
      break;
    case Stage::kRebuildSkipped:
      break;
    case Stage::kRebuildFailed:
      ShowAddError(std::string(p.item), *p.status);
      break;
    case Stage::kRebuildWrite:
      m_host->RebuildStatus("Writting DB...");
      break;
    case Stage::kConvert:
    case Stage::kExport:
      break;
  }
}

}  // namespace cadenza
