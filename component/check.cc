#include "component/check.h"

#include <algorithm>
#include <unordered_set>

#include "component/paths.h"
#include "component/track_text.h"
#include "platform/lock.h"
#include "platform/text.h"

namespace cadenza {

DeviceCheck CheckDevice(const std::string& root, const MHLT& tracks) {
  DeviceCheck out;
  // The listed files as the walk below names them: resolved without regard
  // to case, as the device's file systems do.
  std::unordered_set<std::string> listed;
  const size_t n = std::min(tracks.m_mhit.size(),
                            static_cast<size_t>(std::max(tracks.iNumberOfllTracks, 0)));
  for (size_t i = 0; i < n; ++i) {
    const MHIT& t = tracks.m_mhit[i];
    if (t.iUniqueID == -1) continue;
    std::string location;
    for (const MHOD_S& o : t.m_mhod) {
      if (o.iType == static_cast<int32_t>(DataObjectType::kLocation) && IsText(o)) {
        location = Utf16ToUtf8(o.sString.u16());
        break;
      }
    }
    std::string rel = location;
    std::replace(rel.begin(), rel.end(), ':', '/');
    const std::string path = location.empty() ? std::string() : fs::DevicePath(root, rel);
    if (path.empty() || !fs::FileExists(path)) out.missing.push_back({t.iUniqueID, location});
    else listed.insert(path);
  }
  const std::string music = fs::DevicePath(root, kMusicFolder);
  if (fs::FolderExists(music)) {
    for (std::string& f : fs::WalkFiles(music, &out.unreadable))
      if (!listed.count(f)) out.unlisted.push_back(std::move(f));
  }
  out.leftovers = fs::LeftoverTemps(fs::DevicePath(root, kDatabaseFile));
  out.stale_lock = FileLock::IsStale(fs::DevicePath(root, kLockFile));
  return out;
}

}  // namespace cadenza
