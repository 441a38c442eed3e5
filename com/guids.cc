// Storage for the GUIDs that the type library's header declares.
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

#include <initguid.h>

#include <cadenza_h.h>
