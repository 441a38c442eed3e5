// What the objects of Cadenza.dll share with the DLL's entry points: the
// module handle, the count of live objects and server locks (for
// DllCanUnloadNow) and the DLL's own path.
#ifndef CADENZA_COM_MODULE_H_
#define CADENZA_COM_MODULE_H_

#include <windows.h>

#include <string>

namespace cadenza::com {

HMODULE ModuleHandle();
// The full path of Cadenza.dll.
std::wstring ModulePath();
// The folder that holds Cadenza.dll, in UTF-8, without a trailing separator.
std::string ModuleFolder();

// Live objects and class factory locks: the DLL stays loaded while any.
void ModuleAddRef();
void ModuleRelease();

}  // namespace cadenza::com

#endif  // CADENZA_COM_MODULE_H_
