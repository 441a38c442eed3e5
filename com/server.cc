// The entry points of Cadenza.dll: the module handle, the class factory of
// clsCadenza, and registration of the class and its type library.
#include "com/cadenza_object.h"

#include <olectl.h>

#include <string>

#include "com/module.h"
#include "platform/text.h"

namespace cadenza::com {

namespace {

HMODULE g_module = nullptr;
LONG g_module_refs = 0;  // live objects and factory locks

constexpr wchar_t kProgId[] = L"Cadenza.clsCadenza";
constexpr wchar_t kClassName[] = L"clsCadenza";

#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
#endif

class ClassFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static: it lives as long as the DLL.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CadenzaObject::Create(riid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      ModuleAddRef();
    } else {
      ModuleRelease();
    }
    return S_OK;
  }
};

ClassFactory g_factory;

std::wstring GuidText(const GUID& guid) {
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

// Writes the default value (and optionally one named value) of a key.
bool SetKey(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return false;
  const LONG rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

bool DeleteTree(HKEY root, const std::wstring& path) {
  const LONG rc = RegDeleteTreeW(root, path.c_str());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return false;
  RegDeleteKeyW(root, path.c_str());
  return true;
}

// Whether the class is registered in the other bitness's registry view.
bool RegisteredInOtherView(const std::wstring& clsid_key) {
#ifdef _WIN64
  const REGSAM other = KEY_WOW64_32KEY;
#else
  const REGSAM other = KEY_WOW64_64KEY;
#endif
  const std::wstring path = L"Software\\Classes\\" + clsid_key;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | other, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

}  // namespace

HMODULE ModuleHandle() { return g_module; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string ModuleFolder() {
  std::wstring path = ModulePath();
  const size_t slash = path.find_last_of(L"\\/");
  path.resize(slash == std::wstring::npos ? 0 : slash);
  return WideToUtf8(path);
}

void ModuleAddRef() { InterlockedIncrement(&g_module_refs); }
void ModuleRelease() { InterlockedDecrement(&g_module_refs); }

}  // namespace cadenza::com

using cadenza::com::g_factory;
using cadenza::com::g_module;
using cadenza::com::g_module_refs;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_clsCadenza) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return g_module_refs == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  using namespace cadenza::com;
  const std::wstring path = ModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  const std::wstring clsid = L"CLSID\\" + GuidText(CLSID_clsCadenza);
  const bool ok =
      SetKey(HKEY_CLASSES_ROOT, clsid, nullptr, kClassName) &&
      SetKey(HKEY_CLASSES_ROOT, clsid + L"\\InprocServer32", nullptr, path) &&
      SetKey(HKEY_CLASSES_ROOT, clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment") &&
      SetKey(HKEY_CLASSES_ROOT, clsid + L"\\ProgID", nullptr, kProgId) &&
      SetKey(HKEY_CLASSES_ROOT, clsid + L"\\TypeLib", nullptr, GuidText(LIBID_Cadenza)) &&
      SetKey(HKEY_CLASSES_ROOT, clsid + L"\\Version", nullptr, L"1.0") &&
      SetKey(HKEY_CLASSES_ROOT, kProgId, nullptr, kClassName) &&
      SetKey(HKEY_CLASSES_ROOT, std::wstring(kProgId) + L"\\CLSID", nullptr,
             GuidText(CLSID_clsCadenza));
  if (!ok) return SELFREG_E_CLASS;
  // The type library from the DLL's own resource; registering it writes
  // the keys of its interfaces too.
  ITypeLib* lib = nullptr;
  if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib))) return SELFREG_E_TYPELIB;
  const HRESULT hr = RegisterTypeLib(lib, const_cast<OLECHAR*>(path.c_str()), nullptr);
  lib->Release();
  return SUCCEEDED(hr) ? S_OK : SELFREG_E_TYPELIB;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  using namespace cadenza::com;
  const std::wstring clsid = L"CLSID\\" + GuidText(CLSID_clsCadenza);
  bool ok = DeleteTree(HKEY_CLASSES_ROOT, clsid);
  // The programmatic identifier is shared by both bitnesses: it goes with
  // the last of them.
  if (ok && !RegisteredInOtherView(clsid)) ok = DeleteTree(HKEY_CLASSES_ROOT, kProgId);
  if (!ok) return SELFREG_E_CLASS;
  // A library that is not registered (any more) for this bitness is no
  // failure: unregistering twice succeeds.
  const std::wstring lib_key = L"TypeLib\\" + GuidText(LIBID_Cadenza) + L"\\1.0\\0\\" +
                              (kSysKind == SYS_WIN64 ? L"win64" : L"win32");
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, lib_key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return S_OK;
  RegCloseKey(key);
  const HRESULT hr = UnRegisterTypeLib(LIBID_Cadenza, 1, 0, LOCALE_NEUTRAL, kSysKind);
  return SUCCEEDED(hr) ? S_OK : SELFREG_E_TYPELIB;
}
