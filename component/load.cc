// LoadiPodDB: reads the device database into the records; when the
// database is missing or damaged asks the user whether to rebuild it or
// install an empty one.
#include <ctime>
#include <functional>
#include <memory>
#include <string_view>

#include "cadenza/cadenza.h"
#include "component/paths.h"
#include "db/loader.h"
#include "platform/fs.h"

namespace cadenza {

namespace {
constexpr char kCorruptTitle[] = "iPod DB is Corrupted";
constexpr int kQuestion = kMsgYesNo | kMsgExclamation;
// A reset that produced an unloadable file is offered again at most this
// many times.
constexpr int kMaxResets = 3;
}  // namespace

bool clsCadenza::LoadiPodDB() { return LoadOnce(0); }

bool clsCadenza::LoadOnce(int depth) {
  m_status = Status::OK();
  // No root, or a root that is not there: the device is not connected.
  if (m_siPodDrive.empty() || !fs::FolderExists(m_siPodDrive)) {
    m_status = Status::NotFound("The iPod is not connected (no folder " +
                                (m_siPodDrive.empty() ? std::string("given") : m_siPodDrive) + ")",
                                76);
    Ask("iPod is Not Connected or Not set as disk use", "iPod is Not connected",
        kMsgOK | kMsgExclamation);
    return false;
  }
  if (!fs::FolderExists(DevicePath(kITunesFolder)))
    return OfferRepair(true, depth);

  std::string buffer;
  fs::FileStamp stamp;
  Status st = fs::ReadWholeFile(DevicePath(kDatabaseFile), &buffer, &stamp);
  if (st.code() == Status::Code::kNotFound) return OfferRepair(true, depth);
  if (!st.ok()) {
    // A file that cannot be read (permissions, an I/O error, not a file at
    // all) is not a damaged database: repairing it would throw away a
    // database that may be whole.
    m_status = st;
    Ask("The iPod database could not be read." + std::string(kCrLf) + st.message(), "",
        kMsgOK | kMsgCritical);
    return false;
  }
  const FileIdentity identity{stamp.size, stamp.mtime_ns, stamp.inode,
                              std::hash<std::string_view>{}(buffer)};

  // Decode into fresh records, so that nothing of an earlier load lingers.
  Database db;
  st = LoadDatabase(Bytes(std::move(buffer)), db);
  static_cast<Database&>(*this) = std::move(db);
  m_iMaxIDCache = -1;
  if (!st.ok()) {
    m_bDBLoaded = false;
    m_status = st;
    return OfferRepair(false, depth);
  }
  m_bDBLoaded = true;
  m_loadedFile = identity;
  m_status = Status::OK();
  return true;
}

bool clsCadenza::OfferRepair(bool not_found, int depth) {
  const bool has_music = fs::FolderExists(DevicePath(kMusicFolder));
  const std::string reset_tail = std::string("Do you want to reset the iPod DB?") + kCrLf +
                                 "Click Yes to load an empty DB.";
  if (m_status.ok())
    m_status = not_found ? Status::NotFound("The iPod database was not found")
                         : Status::Corrupt("The iPod database is corrupted");
  const Status failure = m_status;
  if (!m_options.offer_repair) return false;
  // A damaged file is kept before a repair replaces it.
  auto keep = [&] { return not_found || KeepDamagedCopy().ok(); };

  std::string reset_question;
  if (has_music) {
    const char* rebuild_question =
        not_found ? "iPod DB is not found, Do you want to rebuild the DB(Using all existing "
                    "Audio/Video files in the iPod)?"
                  : "iPod DB is corrupted, Do you want to rebuild the DB(Using all existing "
                    "Audio files in the iPod)?";
    if (Ask(rebuild_question, kCorruptTitle, kQuestion) == kAnswerYes) return keep() && ReBuildDB();
    reset_question = not_found ? "iPod DB is Corrupted,Do you want to reset the iPod DB?" +
                                     std::string(kCrLf) + "Click Yes to load an empty DB."
                               : reset_tail;
  } else if (not_found) {
    reset_question = "The specified drive is either not the iPod Drive or corrupted iPod drive." +
                     std::string(kCrLf) + reset_tail;
  } else {
    reset_question = reset_tail;
  }
  if (Ask(reset_question, kCorruptTitle, kQuestion) != kAnswerYes) {
    m_status = failure;
    return false;
  }
  if (depth >= kMaxResets) {
    m_status = Status::Corrupt("The empty database could not be loaded");
    return false;
  }
  return keep() && RunReset(depth);
}

Status clsCadenza::KeepDamagedCopy() {
  const std::string path = DevicePath(kDatabaseFile);
  if (!fs::FileExists(path)) return Status::OK();
  char when[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(when, sizeof when, "%Y%m%d-%H%M%S", &local);
  std::string kept = path + ".damaged-" + when;
  for (int n = 2; fs::FileExists(kept) || fs::FolderExists(kept); ++n)
    kept = path + ".damaged-" + when + "-" + std::to_string(n);
  if (Status st = fs::CopyFile(path, kept); !st.ok()) {
    m_status = st;
    Ask("The damaged iPod database could not be kept, so it was not replaced." +
            std::string(kCrLf) + st.message(),
        "", kMsgOK | kMsgCritical);
    return st;
  }
  // The copy reaches the disk together with the repaired database.
  m_bCopiedSinceWrite = true;
  Ask("The damaged iPod database was kept as " + kept + "." + kCrLf +
          "Rename it back to undo the repair.",
      "", kMsgOK | kMsgInformation);
  return Status::OK();
}

bool clsCadenza::RunReset(int depth) {
  if (!InstallBlankDB()) {
    if (m_status.ok()) m_status = Status::IOError("The empty database could not be installed");
    return false;
  }
  return LoadOnce(depth + 1);
}

}  // namespace cadenza
