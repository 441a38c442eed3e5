// The members of the COM object clsCadenza.
#include "com/cadenza_object.h"

#include <olectl.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "com/module.h"
#include "com/records.h"
#include "platform/text.h"

namespace cadenza::com {

namespace {

constexpr wchar_t kSource[] = L"Cadenza.clsCadenza";

// The numbers and texts of the run-time errors the server raises itself.
constexpr int kInvalidCall = 5;
constexpr char kInvalidCallText[] = "Invalid procedure call or argument";
constexpr int kOutOfMemory = 7;
constexpr char kOutOfMemoryText[] = "Out of memory";

VARIANT_BOOL ToBool(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

// An [in, out] string argument; a missing optional one is empty. A caller
// that omits an optional string may hand over a pointer to a VT_ERROR
// variant, whose first bytes then read as a small number: no real string
// lies in the first 64 KB of the address space.
std::string Text(BSTR* p) {
  if (!p || reinterpret_cast<uintptr_t>(*p) < 0x10000) return {};
  return BstrToUtf8(*p);
}

bool Flag(VARIANT_BOOL* p) { return p && *p != VARIANT_FALSE; }
int32_t Number(LONG* p) { return p ? static_cast<int32_t>(*p) : 0; }
HWND Window(LONG handle) {
  return reinterpret_cast<HWND>(static_cast<LONG_PTR>(handle));
}

// Sets the owner window of the host's dialogs for one member.
class OwnerScope {
 public:
  OwnerScope(WinHost* host, HWND owner) : host_(host), saved_(host->owner()) {
    host->set_owner(owner);
  }
  ~OwnerScope() { host_->set_owner(saved_); }
  OwnerScope(const OwnerScope&) = delete;
  OwnerScope& operator=(const OwnerScope&) = delete;

 private:
  WinHost* host_;
  HWND saved_;
};

Options ServerOptions() {
  Options o;
  // The blank template and the analysers lie beside the DLL, not beside
  // the host program.
  o.component_folder = ModuleFolder();
  return o;
}

}  // namespace

CadenzaObject::CadenzaObject()
    : host_(&sinks_), events_(this), cls_(&host_, ServerOptions()) {
  ModuleAddRef();
}

CadenzaObject::~CadenzaObject() { ModuleRelease(); }

HRESULT CadenzaObject::Create(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  const TypeLibrary& types = Types();
  if (FAILED(types.status)) return types.status;
  CadenzaObject* object = nullptr;
  try {
    object = new CadenzaObject();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
  const HRESULT hr = object->QueryInterface(riid, out);
  object->Release();
  return hr;
}

// ---- IUnknown ----

STDMETHODIMP CadenzaObject::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__clsCadenza) {
    *out = static_cast<_clsCadenza*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *out = static_cast<IConnectionPointContainer*>(this);
  } else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) {
    *out = static_cast<IProvideClassInfo2*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *out = static_cast<ISupportErrorInfo*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CadenzaObject::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

STDMETHODIMP_(ULONG) CadenzaObject::Release() {
  const LONG n = InterlockedDecrement(&refs_);
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

// ---- errors ----

HRESULT CadenzaObject::RaiseError(int number, const std::string& description) {
  const HRESULT hr = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number & 0xFFFF);
  last_error_ = hr;
  last_description_ = description;
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    const std::wstring text = Utf8ToWide(description);
    create->SetGUID(IID__clsCadenza);
    create->SetSource(const_cast<LPOLESTR>(kSource));
    create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

HRESULT CadenzaObject::RaiseIfFailed() {
  const Status& st = cls_.status();
  if (st.ok()) return S_OK;
  return RaiseError(st.number() != 0 ? st.number() : kInvalidCall, st.message());
}

template <class Body>
HRESULT CadenzaObject::Call(Reentry reentry, Body&& body) {
  SetErrorInfo(0, nullptr);
  last_error_ = S_OK;
  last_description_.clear();
  // A sink may drop its last reference while an event runs.
  AddRef();
  HRESULT hr = S_OK;
  if (reentry == Reentry::kRefused && depth_ > 0) {
    // Another member is under way (this call comes from one of its events
    // or a turn of the message loop): changing the records under it could
    // only corrupt them.
    hr = RaiseError(kInvalidCall, kInvalidCallText);
  } else {
    ++depth_;
    try {
      hr = body();
    } catch (const std::bad_alloc&) {
      hr = RaiseError(kOutOfMemory, kOutOfMemoryText);
    } catch (...) {
      hr = RaiseError(kInvalidCall, kInvalidCallText);
    }
    --depth_;
  }
  Release();
  return hr;
}

// ---- _clsCadenza ----

STDMETHODIMP CadenzaObject::LoadiPodDB(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  return Call(Reentry::kRefused, [&] {
    *result = ToBool(cls_.LoadiPodDB());
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::DeleteTrack(LONG* iTrackID, VARIANT* result) {
  if (!iTrackID || !result) return E_POINTER;
  VariantInit(result);
  return Call(Reentry::kRefused, [&] {
    cls_.DeleteTrack(*iTrackID);
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::initlaize(LONG* hParentWindow, BSTR* sApplicationName,
                                      BSTR* siPodDrive) {
  if (!hParentWindow || !sApplicationName) return E_POINTER;
  return Call(Reentry::kRefused, [&] {
    // The window stays the owner of the object's dialogs.
    host_.set_owner(Window(*hParentWindow));
    cls_.initlaize(*hParentWindow, Text(sApplicationName), Text(siPodDrive));
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::get_iPodDriveLetter(BSTR* result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  return Call(Reentry::kAllowed, [&] {
    *result = Utf8ToBstr(cls_.iPodDriveLetter());
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::put_iPodShuffle(VARIANT_BOOL* bSet) {
  if (!bSet) return E_POINTER;
  return Call(Reentry::kRefused, [&] {
    cls_.iPodShuffle(*bSet != VARIANT_FALSE);
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::get_iPodShuffle(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  return Call(Reentry::kAllowed, [&] {
    *result = ToBool(cls_.iPodShuffle());
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::CancelUpdate(VARIANT* result) {
  if (!result) return E_POINTER;
  VariantInit(result);
  return Call(Reentry::kAllowed, [&] {
    cls_.CancelUpdate();
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::WriteiPodDB(VARIANT* result) {
  if (!result) return E_POINTER;
  VariantInit(result);
  return Call(Reentry::kRefused, [&] {
    cls_.WriteiPodDB();
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::Write_FileSize(BSTR* sFilePath, VARIANT_BOOL* result) {
  if (!sFilePath || !result) return E_POINTER;
  return Call(Reentry::kRefused, [&] {
    *result = ToBool(cls_.Write_FileSize(Text(sFilePath)));
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::AddTrack(BSTR* sFilePath, ::TrackInfo* Info, VARIANT_BOOL* bSkipCopy,
                                     BSTR* siPodPath, VARIANT_BOOL* bSkipSetInfo,
                                     LONG* iModifiedTrackID, LONG* result) {
  if (!sFilePath || !Info || !result) return E_POINTER;
  return Call(Reentry::kRefused, [&] {
    TrackInfo info = FromCom(*Info);
    *result = cls_.AddTrack(Text(sFilePath), info, Flag(bSkipCopy), Text(siPodPath),
                            Flag(bSkipSetInfo), Number(iModifiedTrackID));
    // The description the import filled goes back to the caller.
    ::TrackInfo filled;
    ToCom(info, &filled);
    Clear(Info);
    *Info = filled;
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::ReBuildDB(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  return Call(Reentry::kRefused, [&] {
    *result = ToBool(cls_.ReBuildDB());
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::ModifyTrack(LONG* iTrackID, ::TrackInfo* Info, VARIANT_BOOL* result) {
  if (!iTrackID || !Info || !result) return E_POINTER;
  return Call(Reentry::kRefused, [&] {
    *result = ToBool(cls_.ModifyTrack(*iTrackID, FromCom(*Info)));
    // An id that no track has is the caller's error.
    return RaiseIfFailed();
  });
}

STDMETHODIMP CadenzaObject::GetTrackInfo(LONG* iTrackID, ::TrackInfo* result) {
  if (!iTrackID || !result) return E_POINTER;
  std::memset(static_cast<void*>(result), 0, sizeof(*result));
  return Call(Reentry::kAllowed, [&] {
    const TrackInfo info = cls_.GetTrackInfo(*iTrackID);
    if (HRESULT hr = RaiseIfFailed(); FAILED(hr)) return hr;
    ToCom(info, result);
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::SetTrackInfo(BSTR* sFilePath, ::TrackInfo* tInfo,
                                         VARIANT_BOOL* result) {
  if (!sFilePath || !tInfo || !result) return E_POINTER;
  return Call(Reentry::kRefused, [&] {
    TrackInfo info = FromCom(*tInfo);
    *result = ToBool(cls_.SetTrackInfo(Text(sFilePath), info));
    ::TrackInfo filled;
    ToCom(info, &filled);
    Clear(tInfo);
    *tInfo = filled;
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::GetDBInfo(::MHBD* result) {
  if (!result) return E_POINTER;
  std::memset(static_cast<void*>(result), 0, sizeof(*result));
  return Call(Reentry::kAllowed, [&] {
    ToCom(cls_.GetDBInfo(), result);
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::GetAllTracks(::MHSD_T* result) {
  if (!result) return E_POINTER;
  std::memset(static_cast<void*>(result), 0, sizeof(*result));
  return Call(Reentry::kAllowed, [&] {
    // Converted straight from the loaded records: the COM record is the
    // deep copy, and a copy of the core's records first would cost a
    // second pass over every track of a large library.
    ToCom(cls_.library().database().m_MHSD_T, result);
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::GetAllPlayLists(::MHSD_P* result) {
  if (!result) return E_POINTER;
  std::memset(static_cast<void*>(result), 0, sizeof(*result));
  return Call(Reentry::kAllowed, [&] {
    ToCom(cls_.GetAllPlayLists(), result);
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::GetAllPodcasts(::MHSD_P* result) {
  if (!result) return E_POINTER;
  std::memset(static_cast<void*>(result), 0, sizeof(*result));
  return Call(Reentry::kAllowed, [&] {
    ToCom(cls_.GetAllPodcasts(), result);
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::GetAllAlbumPlayLists(::MHSD_A* result) {
  if (!result) return E_POINTER;
  std::memset(static_cast<void*>(result), 0, sizeof(*result));
  return Call(Reentry::kAllowed, [&] {
    ToCom(cls_.GetAllAlbumPlayLists(), result);
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::GetAllNewPlayLists(::MHSD_NP* result) {
  if (!result) return E_POINTER;
  std::memset(static_cast<void*>(result), 0, sizeof(*result));
  return Call(Reentry::kAllowed, [&] {
    ToComNP(cls_.GetAllNewPlayLists(), result);
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::ResetiPodDB(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  return Call(Reentry::kRefused, [&] {
    *result = ToBool(cls_.ResetiPodDB());
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::GetiPodDriveString(LONG* hwndParent, BSTR* sApplicationName,
                                               VARIANT_BOOL* bConfirm, BSTR* result) {
  if (!hwndParent || !sApplicationName || !result) return E_POINTER;
  *result = nullptr;
  return Call(Reentry::kRefused, [&] {
    OwnerScope owner(&host_, Window(*hwndParent));
    *result = Utf8ToBstr(
        cls_.GetiPodDriveString(*hwndParent, Text(sApplicationName), Flag(bConfirm)));
    return S_OK;
  });
}

STDMETHODIMP CadenzaObject::GetVideoInformation(BSTR* sFilePath, VARIANT* result) {
  if (!sFilePath || !result) return E_POINTER;
  VariantInit(result);
  return Call(Reentry::kAllowed, [&] {
    cls_.GetVideoInformation(Text(sFilePath));
    return S_OK;
  });
}

// ---- connection point ----

STDMETHODIMP CadenzaObject::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CadenzaObject::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (riid != DIID___clsCadenza) return CONNECT_E_NOCONNECTION;
  *out = &events_;
  events_.AddRef();
  return S_OK;
}

STDMETHODIMP CadenzaObject::EventPoint::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP CadenzaObject::EventPoint::GetConnectionInterface(IID* out) {
  if (!out) return E_POINTER;
  *out = DIID___clsCadenza;
  return S_OK;
}

STDMETHODIMP CadenzaObject::EventPoint::GetConnectionPointContainer(
    IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = owner_;
  owner_->AddRef();
  return S_OK;
}

STDMETHODIMP CadenzaObject::EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  IDispatch* events = nullptr;
  if (FAILED(sink->QueryInterface(DIID___clsCadenza, reinterpret_cast<void**>(&events))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&events))))
    return CONNECT_E_CANNOTCONNECT;
  try {
    *cookie = owner_->sinks_.Add(events);
  } catch (...) {
    events->Release();
    return E_OUTOFMEMORY;
  }
  events->Release();
  return S_OK;
}

STDMETHODIMP CadenzaObject::EventPoint::Unadvise(DWORD cookie) {
  return owner_->sinks_.Remove(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
}

STDMETHODIMP CadenzaObject::EventPoint::EnumConnections(IEnumConnections** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

// ---- class information and errors ----

STDMETHODIMP CadenzaObject::GetClassInfo(ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = Types().coclass;
  (*out)->AddRef();
  return S_OK;
}

STDMETHODIMP CadenzaObject::GetGUID(DWORD kind, GUID* out) {
  if (!out) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *out = GUID_NULL;
    return E_INVALIDARG;
  }
  *out = DIID___clsCadenza;
  return S_OK;
}

STDMETHODIMP CadenzaObject::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID__clsCadenza || riid == IID_IDispatch ? S_OK : S_FALSE;
}

}  // namespace cadenza::com
