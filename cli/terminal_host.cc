#include "cli/terminal_host.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
// windows.h names a macro after the host's MessageBox.
#undef MessageBox
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iostream>

#include "cadenza/library.h"

namespace cadenza::cli {

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<Library*> g_cancel_target{nullptr};

extern "C" void OnInterrupt(int) {
  g_interrupted = true;
  // Cancel only stores a flag, which is safe from a signal handler.
  if (Library* lib = g_cancel_target.load()) lib->Cancel();
}

// Message text as the terminal shows it: CR LF and lone CRs become line
// breaks.
std::string ForTerminal(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

#ifdef _WIN32
bool IsTerminal(FILE* f) { return _isatty(_fileno(f)) != 0; }

// Ctrl-C, Ctrl-Break and closing the console window take the same path as
// the signals do elsewhere.
BOOL WINAPI OnConsoleEvent(DWORD) {
  OnInterrupt(0);
  return TRUE;
}
#else
bool IsTerminal(FILE* f) { return isatty(fileno(f)) != 0; }
#endif

bool ReadLine(std::string* line) {
  if (!IsTerminal(stdin)) return false;
  return static_cast<bool>(std::getline(std::cin, *line));
}

}  // namespace

void TerminalHost::InstallInterruptHandler() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
#endif
}

void TerminalHost::SetCancelTarget(Library* lib) { g_cancel_target = lib; }

bool TerminalHost::interrupted() const { return g_interrupted; }

int TerminalHost::MessageBox(const std::string& text, const std::string& title, int style) {
  ClearProgress();
  const bool question = (style & 0x0F) == kMsgYesNo;
  std::cerr << "[" << (title.empty() ? kDefaultTitle : title) << "] " << ForTerminal(text)
            << "\n";
  if (!question) return kAnswerOK;
  if (answer_ != Answer::kAsk) {
    bool yes = answer_ == Answer::kYes;
    std::cerr << (yes ? "(answered yes)\n" : "(answered no)\n");
    return yes ? kAnswerYes : kAnswerNo;
  }
  for (;;) {
    std::cerr << "[y/n] " << std::flush;
    std::string line;
    if (!ReadLine(&line)) {
      std::cerr << "(no terminal: answered no)\n";
      return kAnswerNo;
    }
    if (line == "y" || line == "Y" || line == "yes") return kAnswerYes;
    if (line == "n" || line == "N" || line == "no") return kAnswerNo;
  }
}

void TerminalHost::CurrentStatus(const std::string& status, int16_t) {
  if (!IsTerminal(stderr)) std::cerr << status << "\n";
}

void TerminalHost::RebuildStatus(const std::string& status) {
  ClearProgress();
  std::cerr << status << "\n";
}

void TerminalHost::DoEvents() {}

std::string TerminalHost::BrowseForFolder(const std::string& title) {
  ClearProgress();
  std::cerr << title << " (path, empty to cancel): " << std::flush;
  std::string line;
  if (!ReadLine(&line)) return {};
  return line;
}

void TerminalHost::SetImportProgress(size_t files_done, size_t files_total, uint64_t bytes_done,
                                     uint64_t bytes_total) {
  files_done_ = files_done;
  files_total_ = files_total;
  bytes_done_ = bytes_done;
  bytes_total_ = bytes_total;
  DrawBar(bytes_done);
}

void TerminalHost::CopyProgress(uint64_t done, uint64_t) {
  if (files_total_ > 0) DrawBar(bytes_done_ + done);
}

void TerminalHost::DrawBar(uint64_t bytes) {
  if (!IsTerminal(stderr)) return;
  const int width = 30;
  double f = bytes_total_ ? static_cast<double>(bytes) / static_cast<double>(bytes_total_) : 1;
  int fill = static_cast<int>(std::min(f, 1.0) * width);
  std::fprintf(stderr, "\r[%-*s] %zu/%zu files, %.1f/%.1f MB ", width,
               std::string(static_cast<size_t>(fill), '#').c_str(), files_done_, files_total_,
               static_cast<double>(bytes) / 1e6, static_cast<double>(bytes_total_) / 1e6);
  if (to_convert_ > 0) std::fprintf(stderr, "(%zu/%zu converted) ", converted_, to_convert_);
  progress_shown_ = true;
}

void TerminalHost::ClearProgress() {
#ifdef _WIN32
  // Older consoles know no escape sequences: blanks over the bar.
  if (progress_shown_) std::fprintf(stderr, "\r%79s\r", "");
#else
  if (progress_shown_) std::fputs("\r\033[K", stderr);
#endif
  progress_shown_ = false;
}

}  // namespace cadenza::cli
