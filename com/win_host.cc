// The Windows host of the COM server.
#include "com/win_host.h"

#include <shlobj.h>

#include "com/records.h"
#include "platform/text.h"

namespace cadenza::com {

EventSinks::~EventSinks() {
  for (auto& s : sinks_) s.second->Release();
}

DWORD EventSinks::Add(IDispatch* sink) {
  sink->AddRef();
  const DWORD cookie = next_cookie_++;
  if (next_cookie_ == 0) next_cookie_ = 1;
  sinks_.emplace_back(cookie, sink);
  return cookie;
}

bool EventSinks::Remove(DWORD cookie) {
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
    if (it->first == cookie) {
      IDispatch* sink = it->second;
      sinks_.erase(it);
      sink->Release();
      return true;
    }
  }
  return false;
}

void EventSinks::Fire(DISPID id, DISPPARAMS* params) {
  // A snapshot, because a sink may change the list while it runs.
  std::vector<IDispatch*> now;
  now.reserve(sinks_.size());
  for (auto& s : sinks_) {
    s.second->AddRef();
    now.push_back(s.second);
  }
  for (IDispatch* sink : now) {
    EXCEPINFO error{};
    UINT arg_error = 0;
    sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, nullptr, &error,
                 &arg_error);
    SysFreeString(error.bstrSource);
    SysFreeString(error.bstrDescription);
    SysFreeString(error.bstrHelpFile);
    sink->Release();
  }
}

int WinHost::MessageBox(const std::string& text, const std::string& title, int style) {
  const std::wstring wtext = Utf8ToWide(text);
  const std::wstring wtitle = Utf8ToWide(title.empty() ? std::string(kDefaultTitle) : title);
  return MessageBoxW(owner_, wtext.c_str(), wtitle.c_str(), static_cast<UINT>(style));
}

void WinHost::CurrentStatus(const std::string& status, int16_t percent) {
  // By reference, as the event declares; what a sink writes back is dropped.
  BSTR text = Utf8ToBstr(status);
  SHORT value = percent;
  VARIANTARG args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  V_VT(&args[0]) = VT_I2 | VT_BYREF;  // the last argument comes first
  V_I2REF(&args[0]) = &value;
  V_VT(&args[1]) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&args[1]) = &text;
  DISPPARAMS params{args, nullptr, 2, 0};
  sinks_->Fire(1, &params);
  SysFreeString(text);
}

void WinHost::RebuildStatus(const std::string& status) {
  BSTR text = Utf8ToBstr(status);
  VARIANTARG arg;
  VariantInit(&arg);
  V_VT(&arg) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&arg) = &text;
  DISPPARAMS params{&arg, nullptr, 1, 0};
  sinks_->Fire(2, &params);
  SysFreeString(text);
}

void WinHost::CopyProgress(uint64_t, uint64_t) {
  // The host's loop turns during a copy, so that it can cancel it.
  DoEvents();
}

void WinHost::DoEvents() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // The host's own loop has to see the quit request.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

std::string WinHost::BrowseForFolder(const std::string& title) {
  const std::wstring wtitle = Utf8ToWide(title);
  BROWSEINFOW bi{};
  bi.hwndOwner = owner_;
  bi.lpszTitle = wtitle.c_str();
  bi.ulFlags = BIF_RETURNONLYFSDIRS;
  PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&bi);
  if (!item) return {};
  wchar_t path[MAX_PATH] = {};
  const BOOL ok = SHGetPathFromIDListW(item, path);
  CoTaskMemFree(item);
  return ok ? WideToUtf8(path) : std::string();
}

}  // namespace cadenza::com
