// ReBuildDB: a new database from the media files already on the device.
#include "cadenza/cadenza.h"
#include "component/paths.h"
#include "component/placement.h"
#include "platform/text.h"

namespace cadenza {

bool clsCadenza::ReBuildDB() {
  auto events = [&](int n) {
    for (int i = 0; i < n; ++i) m_host->DoEvents();
  };
  if (!InstallBlankDB()) {
    m_host->RebuildStatus("Rebuilding Failed.");
    return false;
  }
  m_host->RebuildStatus("Loading Current DB...");
  events(5);
  if (!LoadiPodDB()) return false;
  m_host->RebuildStatus("Retrieving Files...");
  events(5);
  std::string listing = ListFolder(DevicePath(kMusicFolder), false, false, false);
  if (listing.empty()) {
    m_status = Status::NotFound("No media files below the music folder");
    return false;
  }
  for (size_t i = 1, j; i <= listing.size(); i = j + 1) {
    j = listing.find('*', i);
    if (j == std::string::npos) j = listing.size();
    if (CancelRequested() != 0) {
      // The request stops this rebuild only; a later one starts afresh.
      SetCancelRequest(0);
      break;
    }
    if (j == i) continue;
    const std::string path = listing.substr(i, j - i);
    m_host->RebuildStatus("Adding File  " + path);
    events(2);
    const std::string lower = AsciiLower(path);
    auto ends = [&](const char* ext) {
      size_t n = std::char_traits<char>::length(ext);
      return lower.size() >= n && lower.compare(lower.size() - n, n, ext) == 0;
    };
    if (ends(".mp3") || ends(".wav") || ends(".aac") || (ends(".mp4") && !m_bShuffle) ||
        ends(".aiff")) {
      // Every file starts from an empty description.
      TrackInfo info;
      AddTrack(path, info, true, path, false, 0);
    }
  }
  m_host->RebuildStatus("Writting DB...");
  WriteiPodDB();
  if (!m_status.ok()) {
    m_host->RebuildStatus("ERROR");
    return false;
  }
  m_host->RebuildStatus("DONE");
  return true;
}

}  // namespace cadenza
