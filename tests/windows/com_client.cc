// com_client: drives the registered Cadenza component the way a host
// application does, through the vtable (early bound) or IDispatch (late
// bound), and checks what comes back. Message boxes and the folder browser
// are real windows: a watcher thread finds each one, checks its text and
// buttons and clicks the wanted answer.
//
//   com_client --early|--late DEVICE MEDIA   scenario on a device drive (K:\);
//        MEDIA (M:\) holds the media files and expect.txt, written from
//        the Linux tool's view of the device before the run
//   com_client --typelib        type library, records and members
//   com_client --detect         initlaize without a drive: question, browser
//   com_client --create-only    creation by ProgID
//   com_client --bench DEVICE   times a load and GetAllTracks both ways
// Prints "ok: ..." / "FAIL: ..." per check and "done: N failed" last.
// initguid.h first: this file defines the GUIDs that the headers declare.
// clang-format off
#include <initguid.h>

#include <windows.h>

#include <cguid.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cadenza_h.h"

namespace {

std::atomic<int> g_failed{0};
std::mutex g_out;

std::string U8(const std::wstring& w) {
  std::string s(w.size() * 4 + 1, '\0');
  s.resize(WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), s.data(), (int)s.size(),
                               nullptr, nullptr));
  return s;
}
std::wstring W(const std::string& s) {
  std::wstring w(s.size() + 1, L'\0');
  w.resize(MultiByteToWideChar(CP_UTF8, 0, s.c_str(), (int)s.size(), w.data(), (int)w.size()));
  return w;
}
std::wstring S(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }
BSTR B(const std::wstring& s) { return SysAllocStringLen(s.data(), (UINT)s.size()); }

bool Check(bool ok, const std::string& what) {
  std::lock_guard<std::mutex> lock(g_out);
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failed;
  return ok;
}
bool Eq(const std::string& what, const std::wstring& got, const std::wstring& want) {
  return Check(got == want,
               what + (got == want ? "" : ": got \"" + U8(got) + "\", want \"" + U8(want) + "\""));
}
bool Eq(const std::string& what, long long got, long long want) {
  return Check(got == want, what + (got == want ? ""
                                                : ": got " + std::to_string(got) + ", want " +
                                                      std::to_string(want)));
}
std::string Hex(HRESULT hr) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08lX", (unsigned long)hr);
  return b;
}

// --- Dialog watcher --------------------------------------------------------

struct Dialog {
  std::wstring title;  // empty: not checked
  std::wstring text;   // the message, or a static text of the dialog
  std::vector<int> buttons;
  int click;
};

std::wstring Text(HWND h) {
  wchar_t buf[2048];
  int n = GetWindowTextW(h, buf, 2048);
  return std::wstring(buf, n > 0 ? n : 0);
}

class Watcher {
 public:
  Watcher() : thread_([this] { Run(); }) {}
  ~Watcher() {
    stop_ = true;
    thread_.join();
  }
  void Expect(Dialog d) {
    std::lock_guard<std::mutex> lock(mu_);
    expected_.push_back(std::move(d));
  }
  // After the call that should have shown them: every expected dialog came.
  void Done(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu_);
    Check(expected_.empty(),
          what + ": every expected dialog appeared" +
              (expected_.empty() ? "" : " (missing \"" + U8(expected_.front().text) + "\")"));
    expected_.clear();
  }

 private:
  static BOOL CALLBACK Find(HWND h, LPARAM out) {
    DWORD pid = 0;
    wchar_t cls[16];
    GetWindowThreadProcessId(h, &pid);
    if (pid != GetCurrentProcessId() || !IsWindowVisible(h) || !GetClassNameW(h, cls, 16) ||
        wcscmp(cls, L"#32770") != 0)
      return TRUE;
    *reinterpret_cast<HWND*>(out) = h;
    return FALSE;
  }
  static BOOL CALLBACK Child(HWND h, LPARAM out) {
    reinterpret_cast<std::vector<std::wstring>*>(out)->push_back(Text(h));
    return TRUE;
  }
  void Run() {
    while (!stop_) {
      Sleep(20);
      HWND dlg = nullptr;
      EnumWindows(Find, reinterpret_cast<LPARAM>(&dlg));
      if (!dlg) continue;
      std::vector<std::wstring> texts;
      EnumChildWindows(dlg, Child, reinterpret_cast<LPARAM>(&texts));
      const std::wstring title = Text(dlg), shown = GetDlgItem(dlg, 0xFFFF)
                                                        ? Text(GetDlgItem(dlg, 0xFFFF))
                                                        : (texts.empty() ? L"" : texts[0]);
      int click = 0;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (expected_.empty()) {
          Check(false, "unexpected dialog \"" + U8(title) + "\": \"" + U8(shown) + "\"");
          for (int id : {IDCANCEL, IDNO, IDOK})
            if (!click && GetDlgItem(dlg, id)) click = id;
        } else {
          Dialog d = expected_.front();
          expected_.pop_front();
          const bool has_text = std::find(texts.begin(), texts.end(), d.text) != texts.end();
          bool ok = has_text && (d.title.empty() || d.title == title);
          for (int id : d.buttons) ok = ok && GetDlgItem(dlg, id) != nullptr;
          Check(ok, "dialog \"" + U8(d.text.substr(0, 60)) + "\"" +
                        (ok ? "" : ": shown \"" + U8(title) + "\": \"" + U8(shown) + "\""));
          click = d.click;
        }
      }
      SendMessageW(GetDlgItem(dlg, click), BM_CLICK, 0, 0);
      for (int i = 0; i < 100 && IsWindow(dlg) && IsWindowVisible(dlg); ++i) Sleep(20);
    }
  }
  std::mutex mu_;
  std::deque<Dialog> expected_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// --- Event sink --------------------------------------------------------------

_clsCadenza* g_cad = nullptr;
std::atomic<int> g_cancels{0};

// A host window: a cancel request posted to it reaches the component when it
// lets the host's message loop run during the copy.
LRESULT CALLBACK HostProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m != WM_APP) return DefWindowProcW(h, m, w, l);
  VARIANT r;
  VariantInit(&r);
  g_cad->CancelUpdate(&r);
  ++g_cancels;
  return 0;
}

struct Sink : IDispatch {
  std::vector<std::wstring> status, rebuild;
  std::vector<int> percent;
  HWND cancel_to = nullptr;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != DIID___clsCadenza)
      return *out = nullptr, E_NOINTERFACE;
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    auto text = [](VARIANT& v) {
      return v.vt == (VT_BSTR | VT_BYREF) ? S(*v.pbstrVal) : L"<vt " + std::to_wstring(v.vt) + L">";
    };
    if (id == 1 && p->cArgs == 2) {
      status.push_back(text(p->rgvarg[1]));
      percent.push_back(p->rgvarg[0].vt == (VT_I2 | VT_BYREF) ? *p->rgvarg[0].piVal : 9999);
      // The host may change the by-reference arguments; the component ignores it.
      if (p->rgvarg[1].vt == (VT_BSTR | VT_BYREF)) {
        SysFreeString(*p->rgvarg[1].pbstrVal);
        *p->rgvarg[1].pbstrVal = SysAllocString(L"changed by the host");
      }
      if (cancel_to) PostMessageW(cancel_to, WM_APP, 0, 0);
    } else if (id == 2 && p->cArgs == 1) {
      rebuild.push_back(text(p->rgvarg[0]));
    }
    return S_OK;
  }
};

// --- The component, early or late bound ---------------------------------------

ITypeLib* TypeLib() {
  ITypeLib* tl = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_Cadenza, 1, 0, 0, &tl);
  if (!Check(SUCCEEDED(hr), "type library registered (" + Hex(hr) + ")")) std::exit(1);
  return tl;
}
ITypeInfo* TypeInfo(ITypeLib* tl, const wchar_t* name) {
  for (UINT i = 0, n = tl->GetTypeInfoCount(); i < n; ++i) {
    BSTR s = nullptr;
    ITypeInfo* ti = nullptr;
    if (SUCCEEDED(tl->GetDocumentation(i, &s, nullptr, nullptr, nullptr)) && S(s) == name &&
        SUCCEEDED(tl->GetTypeInfo(i, &ti)))
      return ti;
  }
  Check(false, "type " + U8(name) + " in the type library");
  return nullptr;
}
IRecordInfo* RecordInfo(ITypeLib* tl, const wchar_t* name) {
  IRecordInfo* ri = nullptr;
  ITypeInfo* ti = TypeInfo(tl, name);
  if (!ti || FAILED(GetRecordInfoFromTypeInfo(ti, &ri))) Check(false, "record info " + U8(name));
  return ri;
}

VARIANT Ref(LONG* p) {
  VARIANT v;
  v.vt = VT_I4 | VT_BYREF;
  v.plVal = p;
  return v;
}
VARIANT Ref(BSTR* p) {
  VARIANT v;
  v.vt = VT_BSTR | VT_BYREF;
  v.pbstrVal = p;
  return v;
}
VARIANT Ref(VARIANT_BOOL* p) {
  VARIANT v;
  v.vt = VT_BOOL | VT_BYREF;
  v.pboolVal = p;
  return v;
}
VARIANT Ref(TrackInfo* p, IRecordInfo* ri) {
  VARIANT v;
  v.vt = VT_RECORD | VT_BYREF;
  v.pvRecord = p;
  v.pRecInfo = ri;
  return v;
}

struct Cad {
  Cad(_clsCadenza* cad, bool late_bound = false) : p(cad), late(late_bound) {}
  _clsCadenza* p;
  bool late;
  IRecordInfo* track_info = nullptr;
  HRESULT hr = S_OK;
  std::wstring error;  // description of the last failed call
  LONG error_code = 0;

  HRESULT Call(const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* res) {
    DISPID id;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    hr = p->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return Check(false, "GetIDsOfNames " + U8(name)), hr;
    std::reverse(args.begin(), args.end());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS dp{args.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr, (UINT)args.size(),
                  flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
    EXCEPINFO ei{};
    UINT bad = 0;
    VariantInit(res);
    hr = p->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, res, &ei, &bad);
    if (hr == DISP_E_EXCEPTION) {
      if (ei.pfnDeferredFillIn) ei.pfnDeferredFillIn(&ei);
      error = S(ei.bstrDescription);
      error_code = ei.scode;
    }
    return hr;
  }
  HRESULT Done(HRESULT r) {
    hr = r;
    if (FAILED(r) && !late) {
      IErrorInfo* ei = nullptr;
      BSTR d = nullptr;
      if (GetErrorInfo(0, &ei) == S_OK && SUCCEEDED(ei->GetDescription(&d))) error = S(d);
      error_code = r;
    }
    return r;
  }
  void Init(LONG h, const std::wstring& app, const wchar_t* drive) {
    BSTR a = B(app), d = drive ? B(drive) : nullptr;
    VARIANT r;
    if (!late)
      Done(p->initlaize(&h, &a, &d));
    else if (drive)
      Call(L"initlaize", DISPATCH_METHOD, {Ref(&h), Ref(&a), Ref(&d)}, &r);
    else
      Call(L"initlaize", DISPATCH_METHOD, {Ref(&h), Ref(&a)}, &r);
  }
  std::wstring Drive() {
    BSTR s = nullptr;
    VARIANT r;
    if (!late) return Done(p->get_iPodDriveLetter(&s)), S(s);
    Call(L"iPodDriveLetter", DISPATCH_PROPERTYGET, {}, &r);
    return r.vt == VT_BSTR ? S(r.bstrVal) : L"<not a string>";
  }
  void Shuffle(VARIANT_BOOL b) {
    VARIANT r;
    if (!late)
      Done(p->put_iPodShuffle(&b));
    else
      Call(L"iPodShuffle", DISPATCH_PROPERTYPUT, {Ref(&b)}, &r);
  }
  VARIANT_BOOL Bool(const wchar_t* name, HRESULT (STDMETHODCALLTYPE _clsCadenza::*m)(VARIANT_BOOL*),
                    WORD flags = DISPATCH_METHOD) {
    VARIANT_BOOL b = 7;
    VARIANT r;
    if (!late) return Done((p->*m)(&b)), b;
    Call(name, flags, {}, &r);
    return r.vt == VT_BOOL ? r.boolVal : 7;
  }
  VARIANT Plain(const wchar_t* name, HRESULT (STDMETHODCALLTYPE _clsCadenza::*m)(VARIANT*)) {
    VARIANT r;
    VariantInit(&r);
    if (!late)
      Done((p->*m)(&r));
    else
      Call(name, DISPATCH_METHOD, {}, &r);
    return r;
  }
  template <typename R>
  R Record(const wchar_t* name, HRESULT (STDMETHODCALLTYPE _clsCadenza::*m)(R*)) {
    R rec{};
    VARIANT r;
    if (!late)
      Done((p->*m)(&rec));
    else if (Call(name, DISPATCH_METHOD, {}, &r) == S_OK &&
             Check(r.vt == VT_RECORD && r.pvRecord, U8(name) + " returns a record"))
      rec = *static_cast<R*>(r.pvRecord);
    return rec;
  }
  TrackInfo Info(LONG id) {
    TrackInfo t{};
    VARIANT r;
    error.clear();
    error_code = 0;
    if (!late)
      Done(p->GetTrackInfo(&id, &t));
    else if (Call(L"GetTrackInfo", DISPATCH_METHOD, {Ref(&id)}, &r) == S_OK && r.vt == VT_RECORD)
      t = *static_cast<TrackInfo*>(r.pvRecord);
    return t;
  }
  VARIANT_BOOL SetInfo(const std::wstring& path, TrackInfo* t) {
    BSTR f = B(path);
    VARIANT_BOOL b = 7;
    VARIANT r;
    if (!late) return Done(p->SetTrackInfo(&f, t, &b)), b;
    Call(L"SetTrackInfo", DISPATCH_METHOD, {Ref(&f), Ref(t, track_info)}, &r);
    return r.boolVal;
  }
  LONG Add(const std::wstring& path, TrackInfo* t) {
    BSTR f = B(path), none = nullptr;
    VARIANT_BOOL no = VARIANT_FALSE, no2 = VARIANT_FALSE;
    LONG zero = 0, id = -99;
    VARIANT r;
    if (!late) return Done(p->AddTrack(&f, t, &no, &none, &no2, &zero, &id)), id;
    Call(L"AddTrack", DISPATCH_METHOD, {Ref(&f), Ref(t, track_info)}, &r);
    return r.vt == VT_I4 ? r.lVal : -99;
  }
  VARIANT_BOOL Modify(LONG id, TrackInfo* t) {
    VARIANT_BOOL b = 7;
    VARIANT r;
    if (!late) return Done(p->ModifyTrack(&id, t, &b)), b;
    Call(L"ModifyTrack", DISPATCH_METHOD, {Ref(&id), Ref(t, track_info)}, &r);
    return r.boolVal;
  }
  void Delete(LONG id) {
    VARIANT r;
    if (!late)
      Done(p->DeleteTrack(&id, &r));
    else
      Call(L"DeleteTrack", DISPATCH_METHOD, {Ref(&id)}, &r);
  }
};

_clsCadenza* Create() {
  CLSID clsid;
  _clsCadenza* p = nullptr;
  HRESULT hr = CLSIDFromProgID(L"Cadenza.clsCadenza", &clsid);
  if (Check(SUCCEEDED(hr), "ProgID Cadenza.clsCadenza known (" + Hex(hr) + ")"))
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__clsCadenza, (void**)&p);
  Check(SUCCEEDED(hr) && p, "clsCadenza created (" + Hex(hr) + ")");
  return SUCCEEDED(hr) ? p : nullptr;
}

std::wstring Title(const MHIT& t) {
  std::wstring title = L"<none>";
  for (LONG i = 0; t.m_mhod && i < (LONG)t.m_mhod->rgsabound[0].cElements; ++i) {
    const MHOD_S& o = static_cast<MHOD_S*>(t.m_mhod->pvData)[i];
    if (o.iType == 1) title = S(o.sString);
  }
  return title;
}
template <typename T>
std::vector<T> Items(SAFEARRAY* a) {
  if (!a) return {};
  T* d = static_cast<T*>(a->pvData);
  return std::vector<T>(d, d + a->rgsabound[0].cElements);
}
std::wstring Sorted(std::vector<std::wstring> v) {
  std::sort(v.begin(), v.end());
  std::wstring out;
  for (auto& s : v) out += s + L"|";
  return out;
}
long long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return -1;
  return ((long long)a.nFileSizeHigh << 32) | a.nFileSizeLow;
}
int CountFiles(const std::wstring& dir) {
  WIN32_FIND_DATAW f;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &f);
  int n = 0;
  if (h == INVALID_HANDLE_VALUE) return 0;
  do {
    if (f.cFileName[0] == L'.') continue;
    n +=
        (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? CountFiles(dir + L"\\" + f.cFileName) : 1;
  } while (FindNextFileW(h, &f));
  FindClose(h);
  return n;
}

const wchar_t kApp[] = L"CadenzaTest";
const std::wstring kNoDevice =
    std::wstring(kApp) +
    L" can't find your iPod device. Do you want to locate it?\r\nNote:- 'Enable Disk Use' option "
    L"in the iTunes may be unchecked or the iPod is not connected";

// --- The scenario ----------------------------------------------------------------

void Scenario(Cad& c, Watcher& w, const std::wstring& drive, const std::wstring& media) {
  std::map<std::string, std::vector<std::wstring>> ex;
  std::ifstream in(U8(media) + "expect.txt");
  for (std::string line; std::getline(in, line);)
    if (size_t eq = line.find('='); eq != std::string::npos)
      ex[line.substr(0, eq)].push_back(W(line.substr(eq + 1)));
  if (!Check(!ex["title"].empty(), "expectations read from expect.txt")) return;
  auto num = [&](const std::string& k) { return ex[k].empty() ? -1 : std::stoll(U8(ex[k][0])); };

  Sink sink;
  IConnectionPointContainer* cpc = nullptr;
  IConnectionPoint* cp = nullptr;
  DWORD cookie = 0;
  HRESULT hr = c.p->QueryInterface(IID_IConnectionPointContainer, (void**)&cpc);
  if (SUCCEEDED(hr)) hr = cpc->FindConnectionPoint(DIID___clsCadenza, &cp);
  if (SUCCEEDED(hr)) hr = cp->Advise(&sink, &cookie);
  Check(SUCCEEDED(hr), "event sink connected (" + Hex(hr) + ")");

  if (c.late) {  // an omitted optional drive runs the detection, which asks
    w.Expect({L"", kNoDevice, {IDYES, IDNO}, IDNO});
    c.Init(0, kApp, nullptr);
    Check(c.hr == S_OK, "initlaize with two arguments (" + Hex(c.hr) + ")");
    w.Done("initlaize with the drive omitted");
    Eq("iPodDriveLetter after No", c.Drive(), L"");
  }
  c.Init(0, kApp, drive.c_str());
  Check(c.hr == S_OK, "initlaize (" + Hex(c.hr) + ")");
  Eq("iPodDriveLetter", c.Drive(), drive);
  Eq("iPodShuffle of a new object",
     c.Bool(L"iPodShuffle", &_clsCadenza::get_iPodShuffle, DISPATCH_PROPERTYGET), VARIANT_FALSE);
  c.Shuffle(VARIANT_TRUE);
  Eq("iPodShuffle put True",
     c.Bool(L"iPodShuffle", &_clsCadenza::get_iPodShuffle, DISPATCH_PROPERTYGET), VARIANT_TRUE);
  c.Shuffle(VARIANT_FALSE);
  VARIANT v = c.Plain(L"CancelUpdate", &_clsCadenza::CancelUpdate);
  Check(c.hr == S_OK && v.vt == VT_EMPTY, "CancelUpdate returns Empty");

  Eq("LoadiPodDB", c.Bool(L"LoadiPodDB", &_clsCadenza::LoadiPodDB), VARIANT_TRUE);
  auto tracks = [&] { return c.Record<MHSD_T>(L"GetAllTracks", &_clsCadenza::GetAllTracks); };
  MHSD_T t = tracks();
  std::vector<MHIT> all = Items<MHIT>(t.m_mhlt.m_mhit);
  Eq("iNumberOfllTracks = elements of m_mhit", t.m_mhlt.iNumberOfllTracks, all.size());
  Eq("tracks of the device", all.size(), ex["title"].size());
  for (size_t i = 0; i < all.size() && i < ex["title"].size(); ++i) {
    Eq("m_mhod elements of track " + std::to_string(i),
       all[i].m_mhod ? all[i].m_mhod->rgsabound[0].cElements : -1, all[i].iNumberOfMHODS);
    Eq("title of track " + std::to_string(i), Title(all[i]), ex["title"][i]);
  }
  if (!all.empty()) {
    TrackInfo i = c.Info(all[0].iUniqueID);
    Eq("GetTrackInfo sTitle", S(i.sTitle), ex["title"][0]);
    const std::wstring loc = S(i.sLocation);
    Check(std::find(ex["file"].begin(), ex["file"].end(), loc) != ex["file"].end(),
          "GetTrackInfo sLocation is the track's file on the drive: " + U8(loc));
  }
  c.Info(987654);
  Eq("GetTrackInfo of an unknown id fails", (unsigned long)c.hr,
     c.late ? (unsigned long)DISP_E_EXCEPTION : 0x800A0009ul);
  Eq("error number", (unsigned long)c.error_code, 0x800A0009ul);
  Eq("error description", c.error, L"Subscript out of range");
  BSTR any = B(media + L"clip.mp4");
  VARIANT vi;
  VariantInit(&vi);
  if (!c.late)
    c.Done(c.p->GetVideoInformation(&any, &vi));
  else
    c.Call(L"GetVideoInformation", DISPATCH_METHOD, {Ref(&any)}, &vi);
  Check(c.hr == S_OK && vi.vt == VT_EMPTY, "GetVideoInformation returns Empty");

  // A missing database: No to the rebuild, Yes to the reset.
  Check(DeleteFileW((drive + L"iPod_Control\\iTunes\\iTunesDB").c_str()), "database deleted");
  const std::wstring kCorrupt = L"iPod DB is Corrupted";
  w.Expect({kCorrupt,
            L"iPod DB is not found, Do you want to rebuild the DB(Using all existing Audio/Video "
            L"files in the iPod)?",
            {IDYES, IDNO},
            IDNO});
  w.Expect(
      {kCorrupt,
       L"iPod DB is Corrupted,Do you want to reset the iPod DB?\r\nClick Yes to load an empty DB.",
       {IDYES, IDNO},
       IDYES});
  Eq("LoadiPodDB without a database, reset", c.Bool(L"LoadiPodDB", &_clsCadenza::LoadiPodDB),
     VARIANT_TRUE);
  w.Done("LoadiPodDB without a database");
  Eq("tracks after the reset", tracks().m_mhlt.iNumberOfllTracks, 0);
  Eq("ResetiPodDB", c.Bool(L"ResetiPodDB", &_clsCadenza::ResetiPodDB), VARIANT_TRUE);

  // Rebuild from the files on the device.
  Eq("ReBuildDB", c.Bool(L"ReBuildDB", &_clsCadenza::ReBuildDB), VARIANT_TRUE);
  std::vector<std::wstring> adding;
  for (auto& f : ex["file"]) adding.push_back(L"Adding File  " + f);
  std::vector<std::wstring>& got = sink.rebuild;
  if (Eq("RebuildStatus events", got.size(), adding.size() + 4)) {
    Eq("RebuildStatus 1", got[0], L"Loading Current DB...");
    Eq("RebuildStatus 2", got[1], L"Retrieving Files...");
    Eq("RebuildStatus per file", Sorted({got.begin() + 2, got.end() - 2}), Sorted(adding));
    Eq("RebuildStatus before the write", got[got.size() - 2], L"Writting DB...");
    Eq("RebuildStatus last", got.back(), L"DONE");
  }
  t = tracks();
  all = Items<MHIT>(t.m_mhlt.m_mhit);
  std::vector<std::wstring> titles;
  LONG next = 0;
  for (auto& m : all) titles.push_back(Title(m)), next = std::max(next, m.iUniqueID);
  Eq("titles after the rebuild", Sorted(titles), Sorted(ex["title"]));

  // Imports.
  struct AddCase {
    const wchar_t *file, *kind;
    LONG type, length;  // -1: not checked
    const wchar_t* title;
  };
  const AddCase adds[] = {{L"tone.mp3", L"MP3", 1, -1, L"Wine Tone"},
                          {L"tone.wav", L"WAV", 1, -1, L"tone.wav"},
                          {L"tone.aiff", L"AIFF", 1, (LONG)num("aiff_ms"), L"tone.aiff"},
                          {L"clip.mp4", L"MP4", 2, (LONG)num("mp4_ms"), L"clip.mp4"}};
  std::map<std::wstring, LONG> ids;
  for (const AddCase& a : adds) {
    const std::string f = U8(a.file);
    TrackInfo i{};
    if (a.type == 1 && a.length == -1 && f == "tone.mp3") {
      Eq("SetTrackInfo " + f, c.SetInfo(media + a.file, &i), VARIANT_TRUE);
      Eq("SetTrackInfo sArtist", S(i.sArtist), L"Wine Artist");
      Eq("SetTrackInfo iSampleRateInHz", i.iSampleRateInHz, 44100);
      i = TrackInfo{};
    }
    sink.status.clear();
    sink.percent.clear();
    const LONG id = c.Add(media + a.file, &i);
    Eq("AddTrack " + f + " id", id, ++next);
    ids[a.file] = id;
    Eq(f + " sFiletype", S(i.sFiletype), a.kind);
    Eq(f + " iType", i.iType, a.type);
    Eq(f + " isFileSupported", i.isFileSupported, VARIANT_TRUE);
    Eq(f + " sTitle", S(i.sTitle), a.title);
    Eq(f + " iFileSize", i.iFileSize, num("size." + f));
    if (a.length != -1) Eq(f + " iTrackTimLength", i.iTrackTimLength, a.length);
    if (a.type == 2) {
      Eq(f + " sVideoCodec", S(i.sVideoCodec), ex["mp4_video"].at(0));
      Eq(f + " sAudioCodec", S(i.sAudioCodec), ex["mp4_audio"].at(0));
      Eq(f + " IsMovie", i.IsMovie, 1);
    }
    Eq(f + " CurrentStatus", Sorted(sink.status), L"Copying File " + std::wstring(a.file) + L"|");
    Eq(f + " CurrentStatus percent", sink.percent.size() == 1 ? sink.percent[0] : 0, -1);
    Eq(f + " copied onto the device", FileSize(S(c.Info(id).sLocation)), num("size." + f));
  }

  TrackInfo m{};
  m.sTitle = B(L"Renamed");
  m.sAlbum = B(L"New Album");
  m.sYear = B(L"2008");
  Eq("ModifyTrack result", c.Modify(ids[L"tone.mp3"], &m), VARIANT_FALSE);
  TrackInfo after = c.Info(ids[L"tone.mp3"]);
  Eq("modified sTitle", S(after.sTitle), L"Renamed");
  Eq("modified sAlbum", S(after.sAlbum), L"New Album");
  Eq("modified sYear", S(after.sYear), L"2008");

  const std::wstring wav = S(c.Info(ids[L"tone.wav"]).sLocation);
  c.Delete(ids[L"tone.wav"]);
  Check(c.hr == S_OK && FileSize(wav) == -1, "DeleteTrack removes the file");
  c.Info(ids[L"tone.wav"]);
  Eq("GetTrackInfo of a deleted track", (unsigned long)c.error_code, 0x800A0009ul);

  // A cancel request from the host's window during the copy of a large file.
  const int files = CountFiles(drive + L"iPod_Control\\Music");
  HWND host = CreateWindowExW(0, L"CadenzaTestHost", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              nullptr, nullptr);
  sink.cancel_to = host;
  TrackInfo big{};
  Eq("AddTrack cancelled", c.Add(media + L"big.wav", &big), -1);
  sink.cancel_to = nullptr;
  Check(g_cancels > 0, "CancelUpdate called during the copy");
  Eq("no partial file left", CountFiles(drive + L"iPod_Control\\Music"), files);

  v = c.Plain(L"WriteiPodDB", &_clsCadenza::WriteiPodDB);
  Check(c.hr == S_OK, "WriteiPodDB (" + Hex(c.hr) + ")");
  Eq("LoadiPodDB after the write", c.Bool(L"LoadiPodDB", &_clsCadenza::LoadiPodDB), VARIANT_TRUE);
  t = tracks();
  all = Items<MHIT>(t.m_mhlt.m_mhit);
  titles = ex["title"];
  for (auto s : {L"Renamed", L"tone.aiff", L"clip.mp4"}) titles.push_back(s);
  std::vector<std::wstring> now;
  for (auto& mh : all) now.push_back(Title(mh));
  Eq("titles after the write", Sorted(now), Sorted(titles));
  MHSD_P lists = c.Record<MHSD_P>(L"GetAllPlayLists", &_clsCadenza::GetAllPlayLists);
  std::vector<MHYP> yp = Items<MHYP>(lists.m_mhlp.m_mhyp);
  Eq("first playlist's items", yp.empty() ? -1 : yp[0].iPlaylistItemsCount, all.size());
  if (cp) cp->Unadvise(cookie);
}

// --- Type library --------------------------------------------------------------

struct RecordCase {
  const wchar_t* name;
  size_t size;
  const char* fields;
};
#define SECTION "sID iHeaderSize iTotalSize iType sHeaderData sAllData"
const RecordCase kRecords[] = {
    {L"MHBD", sizeof(MHBD),
     "sID iHeaderSize iTotalSize iUnk1 iVersion iNumberOfMHSD sID2 iUnk2 sUnk3 iUnk4 iUnk5 "
     "iLanguageID sLibraryID sHash sHeaderData sAllData"},
    {L"MHSD_T", sizeof(MHSD_T), SECTION " m_mhlt"},
    {L"MHSD_P", sizeof(MHSD_P), SECTION " m_mhlp"},
    {L"MHSD_A", sizeof(MHSD_A), SECTION},
    {L"MHSD_NP", sizeof(MHSD_NP), SECTION},
    {L"MHSD_C", sizeof(MHSD_C), SECTION},
    {L"MHLT", sizeof(MHLT), "sID iHeaderSize iNumberOfllTracks sAllHeader m_mhit iTracks2Delete"},
    {L"MHIT", sizeof(MHIT),
     "sID iHeaderSize iTotalSize iNumberOfMHODS iUniqueID iVisible sFiletype iType1 iType2 iFlag1 "
     "iStartRating sLastModifiedTime iTrackSize iTrackTimeLength iTrackNumber iTotalTracksNumber "
     "sTrackYear iBitrate iSampleRate iVolume iStartTime iStopTime iSoundCheck iPlayCount "
     "iPlayCount2 sLastPlayedTime iDiscNumber iTotalDisks iUserID sDateAdded iBookmarkTime iDB_ID "
     "iCheck iApplicationRating iBPM iArtworkCount iUnk1 iArtworkSize iUnk2 iSampleRate2 "
     "sDateReleased iUnk3 iExplicitFlasg iUnk4 iUnk5 iSkipCount sLastSkipped iHasArtwork "
     "iSkipWhenShuffle iRememPlaybackPos iFlag2 iDB_ID2 iLyricsFlag iMovieFileFlag iPlayedMark "
     "iUnk6 iUnk7 iPreGap iSampleCount iUnk8 iPostGap iUnk9 iMediaType iSeasonNumber "
     "iEpisodeNumber iUnk10 iUnk11 iUnk12 iUnk13 iUnk14 iUnk15 iUnk16 iGaplessData iUnk17 "
     "iGaplessTrackFlag iGaplessAlbumFlag sUnk18 iUnk19 iUnk20 iUnk21 iUnk22 iUnk23 iAlbumID "
     "iMHIILink sAllData m_mhod"},
    {L"MHOD_S", sizeof(MHOD_S),
     "sID iHeaderSize iTotalSize iType iUnk1 iUnk2 iPosition iLength iUnk3 iUnk4 sString sAllMHOD"},
    {L"MHLP", sizeof(MHLP), "sID iHeaderSize iNumberOfPlaylists sHeaderData m_mhyp"},
    {L"MHYP", sizeof(MHYP),
     "sID iHeaderSize iTotlaSize iChildsCount iPlaylistItemsCount iIsMasterFLag sUnk1 sTimeStamp "
     "sPerPlayListID iUnk2 iMHODCount iPodCastFlag iListSortOrder sAllData m_mhod_s m_mhod_pcd "
     "m_mhip m_mhod_poe iMHYPs2Delete"},
    {L"MHOD_PCD", sizeof(MHOD_PCD), "sID iHeaderSize iTotalSize iType sAllMHOD"},
    {L"MHIP", sizeof(MHIP),
     "sID iHeaderSize iTotalSize iChildCount iPodCastGroupFlag iUnk1 iUnk2 iGroupID iTrackID "
     "sTimeStamp sPodCastGroupRefrence"},
    {L"MHOD_POE", sizeof(MHOD_POE),
     "sID iHeaderSize iTotalSize iType iUnk1 iUnk2 iPosition sUnk3 sAllMHOD"},
    {L"TrackInfo", sizeof(TrackInfo),
     "sTitle sAlbum sArtist sComposer sGenre sYear sComment sFiletype sLocation sVolume iFileSize "
     "iTrackTimLength iType iBitrateInKbs iSampleRateInHz iStartTime iStopTime iSkipWhenShuffle "
     "iRememberPlayBackPos IsMovie IsVBR iPlayCount sTrackType iTrackID sVideoCodec sAudioCodec "
     "isFileSupported"},
};

// Names of the members (functions, or variables of a record) in order;
// functions with their parameters when `params`, properties with (get)/(put).
std::string Members(ITypeInfo* ti, bool params) {
  TYPEATTR* ta = nullptr;
  std::string out;
  if (FAILED(ti->GetTypeAttr(&ta))) return "<no type attributes>";
  for (UINT i = 0; i < ta->cVars; ++i) {
    VARDESC* vd = nullptr;
    BSTR n = nullptr;
    UINT got = 0;
    if (SUCCEEDED(ti->GetVarDesc(i, &vd)) && SUCCEEDED(ti->GetNames(vd->memid, &n, 1, &got)))
      out += (out.empty() ? "" : " ") + U8(S(n));
  }
  for (UINT i = 0; i < ta->cFuncs; ++i) {
    FUNCDESC* fd = nullptr;
    BSTR n[8] = {};
    UINT got = 0;
    if (FAILED(ti->GetFuncDesc(i, &fd)) || FAILED(ti->GetNames(fd->memid, n, 8, &got))) continue;
    out += (out.empty() ? "" : " ") + U8(S(n[0]));
    if (fd->invkind == INVOKE_PROPERTYGET) out += "(get)";
    if (fd->invkind == INVOKE_PROPERTYPUT) out += "(put)";
    for (UINT k = 1; params && k < got; ++k) out.append(k == 1 ? "(" : ",").append(U8(S(n[k])));
    if (params && got > 1) out += ")";
  }
  return out;
}

void TypeLibChecks() {
  ITypeLib* tl = TypeLib();
  BSTR name = nullptr, help = nullptr;
  tl->GetDocumentation(-1, &name, &help, nullptr, nullptr);
  Eq("type library name", S(name), L"Cadenza");
  Eq("type library help string", S(help), L"Cadenza ActiveX for iPod");
  for (const RecordCase& r : kRecords) {
    IRecordInfo* ri = RecordInfo(tl, r.name);
    ULONG size = 0;
    if (ri) ri->GetSize(&size);
    Eq("record size " + U8(r.name), size, r.size);
    if (ITypeInfo* ti = TypeInfo(tl, r.name))
      Eq("fields of " + U8(r.name), W(Members(ti, false)), W(r.fields));
  }
  ITypeInfo *disp = TypeInfo(tl, L"_clsCadenza"), *vt = nullptr;
  HREFTYPE ref = 0;
  if (disp && SUCCEEDED(disp->GetRefTypeOfImplType(-1, &ref))) disp->GetRefTypeInfo(ref, &vt);
  if (Check(vt != nullptr, "_clsCadenza is dual"))
    Eq("members of _clsCadenza", W(Members(vt, false)),
       L"LoadiPodDB DeleteTrack initlaize iPodDriveLetter(get) iPodShuffle(put) iPodShuffle(get) "
       L"CancelUpdate WriteiPodDB Write_FileSize AddTrack ReBuildDB ModifyTrack GetTrackInfo "
       L"SetTrackInfo GetDBInfo GetAllTracks GetAllPlayLists GetAllPodcasts GetAllAlbumPlayLists "
       L"GetAllNewPlayLists ResetiPodDB GetiPodDriveString GetVideoInformation");
  if (ITypeInfo* ev = TypeInfo(tl, L"__clsCadenza"))
    Eq("events", W(Members(ev, true)), L"CurrentStatus(sStatus,iPercent) RebuildStatus(sStatus)");
}

void Bench(_clsCadenza* p, const std::wstring& drive) {
  LARGE_INTEGER f, t0, t1, t2, t3;
  QueryPerformanceFrequency(&f);
  Cad c{p, false};
  c.Init(0, kApp, drive.c_str());
  QueryPerformanceCounter(&t0);
  VARIANT_BOOL ok = c.Bool(L"LoadiPodDB", &_clsCadenza::LoadiPodDB);
  QueryPerformanceCounter(&t1);
  LONG early =
      c.Record<MHSD_T>(L"GetAllTracks", &_clsCadenza::GetAllTracks).m_mhlt.iNumberOfllTracks;
  QueryPerformanceCounter(&t2);
  c.late = true;
  LONG late =
      c.Record<MHSD_T>(L"GetAllTracks", &_clsCadenza::GetAllTracks).m_mhlt.iNumberOfllTracks;
  QueryPerformanceCounter(&t3);
  Check(ok == VARIANT_TRUE && early > 0 && early == late,
        "bench database loaded, " + std::to_string(early) + " tracks");
  auto ms = [&](LARGE_INTEGER a, LARGE_INTEGER b) {
    return std::to_string((b.QuadPart - a.QuadPart) * 1000 / f.QuadPart);
  };
  std::printf("bench: load_ms=%s early_ms=%s late_ms=%s\n", ms(t0, t1).c_str(), ms(t1, t2).c_str(),
              ms(t2, t3).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  CoInitialize(nullptr);
  WNDCLASSW wc{};
  wc.lpfnWndProc = HostProc;
  wc.lpszClassName = L"CadenzaTestHost";
  RegisterClassW(&wc);
  {
    Watcher w;
    if (mode == "--typelib") {
      TypeLibChecks();
    } else if (_clsCadenza* p = Create(); !p) {
    } else if (mode == "--create-only") {
    } else if (mode == "--detect") {
      Cad c{p};
      w.Expect({L"", kNoDevice, {IDYES, IDNO}, IDYES});
      w.Expect({L"", L"Please, select the iPod Drive", {IDOK, IDCANCEL}, IDCANCEL});
      c.Init(0, kApp, L"");
      Check(c.hr == S_OK, "initlaize with an empty drive (" + Hex(c.hr) + ")");
      w.Done("detection");
      Eq("iPodDriveLetter after a cancelled browser", c.Drive(), L"");
    } else if ((mode == "--early" || mode == "--late") && argc == 4) {
      g_cad = p;
      Cad c{p, mode == "--late"};
      if (c.late) c.track_info = RecordInfo(TypeLib(), L"TrackInfo");
      Scenario(c, w, W(argv[2]), W(argv[3]));
    } else if (mode == "--bench" && argc == 3) {
      Bench(p, W(argv[2]));
    } else {
      Check(false,
            "usage: com_client --early|--late DEVICE MEDIA | --typelib | --detect | "
            "--create-only | --bench DEVICE");
    }
  }
  std::printf("done: %d failed\n", g_failed.load());
  return g_failed ? 1 : 0;
}
