// Host: what the embedding program supplies to the core. Message boxes,
// progress events, turns of the host's message loop and the folder browser
// all go through it, so that the core never talks to a user or a window
// system itself. The command-line tool supplies a terminal host; tests supply
// a scripted one.
#ifndef CADENZA_HOST_H_
#define CADENZA_HOST_H_

#include <cstdint>
#include <string>

namespace cadenza {

// Message box styles (buttons plus icon), as the values of the platform's
// message box: add one button set and one icon.
enum MsgStyle : int {
  kMsgOK = 0,
  kMsgYesNo = 4,
  kMsgCritical = 16,
  kMsgQuestion = 32,
  kMsgExclamation = 48,
  kMsgInformation = 64,
};

// Message box answers.
enum MsgAnswer : int { kAnswerOK = 1, kAnswerYes = 6, kAnswerNo = 7 };

// The title of a message box that has no title of its own.
inline constexpr const char kDefaultTitle[] = "Cadenza";

class Host {
 public:
  virtual ~Host() = default;
  // Shows a modal message box; returns kAnswerOK, kAnswerYes or kAnswerNo.
  // An empty title means the default title.
  virtual int MessageBox(const std::string& text, const std::string& title,
                         int style) = 0;
  // Progress of a track import: "Copying File <name>", percent -1.
  virtual void CurrentStatus(const std::string& status, int16_t percent) {
    (void)status;
    (void)percent;
  }
  // Progress of a rebuild.
  virtual void RebuildStatus(const std::string& status) { (void)status; }
  // Progress of a file copy onto the device, after each piece.
  virtual void CopyProgress(uint64_t done, uint64_t total) {
    (void)done;
    (void)total;
  }
  // Lets the host's message loop run once (the host may call
  // clsCadenza::CancelUpdate from here).
  virtual void DoEvents() {}
  // Asks the user for a folder; returns an empty string on cancel.
  virtual std::string BrowseForFolder(const std::string& title) {
    (void)title;
    return {};
  }
};

// A host that answers No (or OK) to everything and shows nothing.
class SilentHost : public Host {
 public:
  int MessageBox(const std::string&, const std::string&, int style) override {
    return (style & 0x0F) == kMsgYesNo ? kAnswerNo : kAnswerOK;
  }
};

}  // namespace cadenza

#endif  // CADENZA_HOST_H_
