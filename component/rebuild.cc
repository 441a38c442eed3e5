// ReBuildDB: a new database from the media files already on the device.
//
// The new database is built in memory from the blank template and replaces
// the device's file only once it is complete and written: a kill, a full
// disk or a music folder with nothing to enter leaves the old file as it
// was, and the object keeps the records it had.
#include "cadenza/cadenza.h"
#include "component/device_lock.h"
#include "component/paths.h"
#include "component/placement.h"
#include "db/loader.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {

bool clsCadenza::ReBuildDB() {
  auto events = [&](int n) {
    for (int i = 0; i < n; ++i) m_host->DoEvents();
  };
  auto cannot_start = [&](const Status& st) {
    m_status = st;
    m_host->RebuildStatus("Rebuilding Failed.");
    return false;
  };
  if (m_siPodDrive.empty() || !fs::FolderExists(m_siPodDrive))
    return cannot_start(Status::NotFound("The iPod is not connected", 76));
  if (Status st = CheckWritable(); !st.ok()) return cannot_start(st);
  DeviceLockScope lock(*this);
  if (Status st = lock.Enter(); !st.ok()) return cannot_start(st);
  std::string blank;
  if (Status st = ReadBlankTemplate(&blank); !st.ok()) return cannot_start(st);

  m_host->RebuildStatus("Loading Current DB...");
  events(5);
  Database fresh;
  if (Status st = LoadDatabase(Bytes(std::move(blank)), fresh); !st.ok()) {
    m_status = st;
    return false;
  }
  // Work on the blank records; the loaded ones come back if the rebuild
  // does not complete.
  Database loaded = std::move(static_cast<Database&>(*this));
  static_cast<Database&>(*this) = std::move(fresh);
  const bool was_loaded = m_bDBLoaded;
  m_bDBLoaded = true;
  m_iMaxIDCache = -1;
  auto give_up = [&](const Status& st, bool with_event) {
    static_cast<Database&>(*this) = std::move(loaded);
    m_bDBLoaded = was_loaded;
    m_iMaxIDCache = -1;
    m_status = st;
    if (with_event) m_host->RebuildStatus("ERROR");
    return false;
  };

  m_host->RebuildStatus("Retrieving Files...");
  events(5);
  std::string listing = ListFolder(DevicePath(kMusicFolder), false, false, false);
  if (listing.empty())
    return give_up(Status::NotFound("No media files below the music folder"), false);
  int32_t entered = 0;
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
      if (AddTrack(path, info, true, path, false, 0) > 0) ++entered;
    }
  }
  // A database without a single track would only throw the old one away.
  if (entered == 0)
    return give_up(Status::NotFound("No media file below the music folder could be entered; "
                                    "the database was left as it was"),
                   true);
  m_host->RebuildStatus("Writting DB...");
  if (Status st = WriteRecords(false); !st.ok()) return give_up(st, true);
  m_host->RebuildStatus("DONE");
  return true;
}

}  // namespace cadenza
