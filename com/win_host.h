// The Host of the COM server: Windows message boxes and the shell's folder
// browser owned by the host program's window, turns of the thread's message
// loop, and progress raised as the events of __clsCadenza to every
// connected sink.
#ifndef CADENZA_COM_WIN_HOST_H_
#define CADENZA_COM_WIN_HOST_H_

#include <windows.h>
#include <oaidl.h>
// Host::MessageBox keeps its name: the Windows header's macro would rename it.
#undef MessageBox

#include <string>
#include <utility>
#include <vector>

#include "cadenza/host.h"

namespace cadenza::com {

// The event sinks connected to one object, by cookie.
class EventSinks {
 public:
  EventSinks() = default;
  EventSinks(const EventSinks&) = delete;
  EventSinks& operator=(const EventSinks&) = delete;
  ~EventSinks();

  // Keeps a reference to `sink`; returns its cookie (never 0).
  DWORD Add(IDispatch* sink);
  // False when no sink has the cookie.
  bool Remove(DWORD cookie);
  // Calls event `id` on every sink. A sink that fails is skipped; a sink
  // may connect or disconnect others while it runs.
  void Fire(DISPID id, DISPPARAMS* params);

 private:
  std::vector<std::pair<DWORD, IDispatch*>> sinks_;
  DWORD next_cookie_ = 1;
};

class WinHost : public Host {
 public:
  explicit WinHost(EventSinks* sinks) : sinks_(sinks) {}

  // The owner window of message boxes and the folder browser (may be 0).
  void set_owner(HWND owner) { owner_ = owner; }
  HWND owner() const { return owner_; }

  int MessageBox(const std::string& text, const std::string& title, int style) override;
  void CurrentStatus(const std::string& status, int16_t percent) override;
  void RebuildStatus(const std::string& status) override;
  void CopyProgress(uint64_t done, uint64_t total) override;
  void DoEvents() override;
  std::string BrowseForFolder(const std::string& title) override;

 private:
  EventSinks* sinks_;
  HWND owner_ = nullptr;
};

}  // namespace cadenza::com

#endif  // CADENZA_COM_WIN_HOST_H_
