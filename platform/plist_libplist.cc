// Property lists through libplist.
#include "platform/plist.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

namespace cadenza::plist {
namespace {

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};

}  // namespace

ParseResult ParseDictionary(std::string_view xml, std::map<std::string, Value>* out) {
  out->clear();
  plist_t raw = nullptr;
  if (!xml.empty() && xml.size() <= UINT32_MAX)
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
  std::unique_ptr<void, PlistFree> root(raw);
  if (!root) return ParseResult::kUnreadable;
  if (plist_get_node_type(root.get()) != PLIST_DICT) return ParseResult::kNotDict;

  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root.get(), &it);
  if (!it) return ParseResult::kOk;
  for (;;) {
    char* key = nullptr;
    plist_t v = nullptr;
    plist_dict_next_item(root.get(), it, &key, &v);
    if (!v) {
      std::free(key);
      break;
    }
    Value value;
    switch (plist_get_node_type(v)) {
      case PLIST_UINT:
        value.kind = Value::Kind::kInteger;
        plist_get_uint_val(v, &value.integer);
        break;
      case PLIST_STRING: {
        value.kind = Value::Kind::kString;
        uint64_t len = 0;
        const char* p = plist_get_string_ptr(v, &len);
        if (p) value.text.assign(p, static_cast<size_t>(len));
        break;
      }
      default:
        break;
    }
    if (key) (*out)[key] = std::move(value);
    std::free(key);
  }
  std::free(it);
  return ParseResult::kOk;
}

}  // namespace cadenza::plist
