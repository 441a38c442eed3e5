// WMI queries through the COM interfaces of the WBEM locator.
#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>
#include <windows.h>

#include <cstdio>

#include "platform/text.h"
#include "platform/wmi.h"

namespace cadenza {
namespace {

// Releases a COM interface pointer at the end of its scope.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() { Reset(); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** out() {
    Reset();
    return &p_;
  }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// A BSTR owned for the length of a scope.
class Bstr {
 public:
  explicit Bstr(const std::wstring& s)
      : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }
  BSTR get() const { return b_; }

 private:
  BSTR b_;
};

// Initialises COM on this thread for the length of a scope, unless the
// thread already has it in another threading model (then it is used as it
// is). Every successful CoInitializeEx, S_FALSE included, is balanced.
class ComScope {
 public:
  ComScope() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    balance_ = SUCCEEDED(hr);
    usable_ = balance_ || hr == RPC_E_CHANGED_MODE;
    hr_ = hr;
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (balance_) CoUninitialize();
  }
  bool usable() const { return usable_; }
  HRESULT result() const { return hr_; }

 private:
  bool balance_ = false;
  bool usable_ = false;
  HRESULT hr_ = S_OK;
};

Status Failed(const char* step, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return Status::IOError(std::string("Windows Management Instrumentation: ") + step + " failed (" +
                         code + ")");
}

// A property's value as text; false when it is null, missing, an array or
// cannot be converted.
bool PropertyText(IWbemClassObject* object, const std::wstring& name, std::string* text) {
  VARIANT v;
  VariantInit(&v);
  if (FAILED(object->Get(name.c_str(), 0, &v, nullptr, nullptr))) return false;
  bool ok = false;
  if (V_VT(&v) == VT_BSTR) {
    *text = WideToUtf8(std::wstring_view(V_BSTR(&v), SysStringLen(V_BSTR(&v))));
    ok = true;
  } else if (V_VT(&v) != VT_NULL && V_VT(&v) != VT_EMPTY && (V_VT(&v) & VT_ARRAY) == 0) {
    VARIANT s;
    VariantInit(&s);
    if (SUCCEEDED(VariantChangeType(&s, &v, 0, VT_BSTR))) {
      *text = WideToUtf8(std::wstring_view(V_BSTR(&s), SysStringLen(V_BSTR(&s))));
      ok = true;
    }
    VariantClear(&s);
  }
  VariantClear(&v);
  return ok;
}

// WMI providers answer within seconds; one that does not is taken as broken
// rather than left to hang the caller.
constexpr LONG kNextTimeoutMs = 30000;

}  // namespace

Status WmiQuery(const std::string& wql, const std::vector<std::string>& properties,
                std::vector<std::map<std::string, std::string>>* rows) {
  rows->clear();
  ComScope com;
  if (!com.usable()) return Failed("CoInitializeEx", com.result());

  ComRef<IWbemLocator> locator;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(locator.out()));
  if (FAILED(hr)) return Failed("creating the locator", hr);

  ComRef<IWbemServices> services;
  Bstr ns(L"ROOT\\CIMV2");
  hr = locator->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                              services.out());
  if (FAILED(hr)) return Failed("connecting to ROOT\\CIMV2", hr);

  // The service is a proxy to the WMI service; calls through it need the
  // caller's identity (impersonation). Where it is no proxy (an in-process
  // implementation) there is no blanket to set, and a query that really
  // needs one fails by itself below.
  CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                    RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);

  ComRef<IEnumWbemClassObject> objects;
  Bstr language(L"WQL");
  Bstr query(Utf8ToWide(wql));
  hr = services->ExecQuery(language.get(), query.get(),
                           WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                           objects.out());
  if (FAILED(hr)) return Failed("running the query", hr);

  std::vector<std::wstring> names;
  names.reserve(properties.size());
  for (const std::string& p : properties) names.push_back(Utf8ToWide(p));

  for (;;) {
    ComRef<IWbemClassObject> object;
    ULONG returned = 0;
    hr = objects->Next(kNextTimeoutMs, 1, object.out(), &returned);
    if (hr == WBEM_S_TIMEDOUT) return Failed("waiting for the query's results", hr);
    if (FAILED(hr)) return Failed("reading the query's results", hr);
    if (returned == 0 || !object.get()) break;  // WBEM_S_FALSE: no more objects
    std::map<std::string, std::string> row;
    for (size_t i = 0; i < names.size(); ++i) {
      std::string text;
      if (PropertyText(object.get(), names[i], &text)) row[properties[i]] = std::move(text);
    }
    rows->push_back(std::move(row));
  }
  return Status::OK();
}

}  // namespace cadenza
