// Queries to Windows Management Instrumentation (Windows only).
#ifndef CADENZA_PLATFORM_WMI_H_
#define CADENZA_PLATFORM_WMI_H_

#ifdef _WIN32

#include <map>
#include <string>
#include <vector>

#include "cadenza/status.h"

namespace cadenza {

// Runs a WQL query in the local "ROOT\CIMV2" namespace and reads the named
// properties of every object it returns, in the order WMI enumerates them.
// Each row maps the property name (as given) to its value as UTF-8 text;
// properties that are null, missing or not convertible to text are left
// out. COM is initialised for the call when the calling thread has not done
// so, and left as it was afterwards. A failure to connect, query or
// enumerate is an error, and `rows` then holds what was read before it.
Status WmiQuery(const std::string& wql, const std::vector<std::string>& properties,
                std::vector<std::map<std::string, std::string>>* rows);

}  // namespace cadenza

#endif  // _WIN32

#endif  // CADENZA_PLATFORM_WMI_H_
