// Reading the top-level dictionary of an XML property list (the device's
// SysInfoExtended). Only what the core needs is kept: integer and string
// values by key; any other value is known only by its presence.
#ifndef CADENZA_PLATFORM_PLIST_H_
#define CADENZA_PLATFORM_PLIST_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace cadenza::plist {

struct Value {
  enum class Kind { kInteger, kString, kOther };
  Kind kind = Kind::kOther;
  uint64_t integer = 0;  // kInteger (a negative number in two's complement)
  std::string text;      // kString, UTF-8
};

enum class ParseResult {
  kOk,
  kUnreadable,  // not an XML property list
  kNotDict,     // a property list whose root is not a dictionary
};

// Parses `xml`; on kOk `out` holds the root dictionary's entries.
ParseResult ParseDictionary(std::string_view xml, std::map<std::string, Value>* out);

}  // namespace cadenza::plist

#endif  // CADENZA_PLATFORM_PLIST_H_
