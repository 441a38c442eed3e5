// LoadiPodDB: reads the device database into the records; when the
// database is missing or damaged asks the user whether to rebuild it or
// install an empty one.
#include "cadenza/cadenza.h"
#include "component/paths.h"
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
  m_status = m_lib.Load();
  if (m_status.ok()) return true;
  if (m_status.code() == Status::Code::kNotFound && m_status.number() == 76) {
    Ask("iPod is Not Connected or Not set as disk use", "iPod is Not connected",
        kMsgOK | kMsgExclamation);
    return false;
  }
  if (m_status.code() == Status::Code::kNotFound) return OfferRepair(true, depth);
  if (m_status.code() == Status::Code::kCorrupt) return OfferRepair(false, depth);
  Ask("The iPod database could not be read." + std::string(kCrLf) + m_status.message(), "",
      kMsgOK | kMsgCritical);
  return false;
}

bool clsCadenza::OfferRepair(bool not_found, int depth) {
  const bool has_music = fs::FolderExists(fs::DevicePath(m_lib.root(), kMusicFolder));
  const std::string reset_tail = std::string("Do you want to reset the iPod DB?") + kCrLf +
                                 "Click Yes to load an empty DB.";
  const Status failure = m_status;
  if (!m_lib.options().offer_repair) return false;
  // A damaged file is kept before a repair replaces it.
  auto keep = [&] {
    if (not_found) return true;
    std::string kept;
    if (Status st = m_lib.KeepDamagedCopy(&kept); !st.ok()) {
      m_status = st;
      Ask("The damaged iPod database could not be kept, so it was not replaced." +
              std::string(kCrLf) + st.message(),
          "", kMsgOK | kMsgCritical);
      return false;
    }
    if (!kept.empty())
      Ask("The damaged iPod database was kept as " + kept + "." + kCrLf +
              "Rename it back to undo the repair.",
          "", kMsgOK | kMsgInformation);
    return true;
  };

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

bool clsCadenza::RunReset(int depth) {
  if (!InstallBlankDB()) {
    if (m_status.ok()) m_status = Status::IOError("The empty database could not be installed");
    return false;
  }
  return LoadOnce(depth + 1);
}

}  // namespace cadenza
