// The command-line tool's host: message boxes on the terminal, questions
// answered with y/n (or by --yes / --no), progress on stderr, Ctrl-C as the
// cancel request.
#ifndef CADENZA_CLI_TERMINAL_HOST_H_
#define CADENZA_CLI_TERMINAL_HOST_H_

#include <csignal>
#include <string>

#include "cadenza/host.h"

namespace cadenza {
class Library;
}

namespace cadenza::cli {

class TerminalHost : public Host {
 public:
  enum class Answer { kAsk, kYes, kNo };
  explicit TerminalHost(Answer answer) : answer_(answer) {}

  int MessageBox(const std::string& text, const std::string& title, int style) override;
  void CurrentStatus(const std::string& status, int16_t percent) override;
  void RebuildStatus(const std::string& status) override;
  void DoEvents() override;
  std::string BrowseForFolder(const std::string& title) override;

  // Progress of a multi-file import, shown as a bar on a terminal: the
  // import names the file it starts; the copy's progress moves the bar.
  // Conversions done of those an import needs, shown beside the copying.
  void SetConversionProgress(size_t done, size_t total) {
    converted_ = done;
    to_convert_ = total;
  }
  void SetImportProgress(size_t files_done, size_t files_total, uint64_t bytes_done,
                         uint64_t bytes_total);
  void CopyProgress(uint64_t done, uint64_t total) override;
  void ClearProgress();
  bool interrupted() const;

  // Installs the handler that turns Ctrl-C, SIGTERM and SIGHUP into a cancel
  // request, so that the work under way ends cleanly.
  static void InstallInterruptHandler();
  // The library that an interrupt cancels.
  static void SetCancelTarget(Library* lib);

 private:
  Answer answer_;
  bool progress_shown_ = false;
  size_t files_done_ = 0, files_total_ = 0;
  size_t converted_ = 0, to_convert_ = 0;
  uint64_t bytes_done_ = 0, bytes_total_ = 0;
  void DrawBar(uint64_t bytes);
};

}  // namespace cadenza::cli

#endif  // CADENZA_CLI_TERMINAL_HOST_H_
