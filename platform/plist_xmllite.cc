// Property lists through XmlLite: a pull parser over the text in memory.
// Only the root dictionary's integer and string values are kept; any other
// value is passed over whole.
// windows.h first: the others build on its types.
#include <windows.h>
// clang-format off
#include <objidl.h>
#include <shlwapi.h>
#include <xmllite.h>
// clang-format on

#include <cstdlib>

#include "platform/plist.h"
#include "platform/text.h"

namespace cadenza::plist {
namespace {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (p_) p_->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* get() const { return p_; }
  T** out() { return &p_; }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

class Reader {
 public:
  explicit Reader(IXmlReader* r) : r_(r) {}

  // The next element start, end or text; false at the end or on an error.
  bool Next(XmlNodeType* type) {
    for (;;) {
      HRESULT hr = r_->Read(type);
      if (hr != S_OK) {
        failed_ = FAILED(hr);
        return false;
      }
      if (*type == XmlNodeType_Element || *type == XmlNodeType_EndElement ||
          *type == XmlNodeType_Text || *type == XmlNodeType_CDATA)
        return true;
    }
  }
  std::wstring Name() {
    const wchar_t* name = nullptr;
    UINT len = 0;
    if (FAILED(r_->GetLocalName(&name, &len)) || !name) return {};
    return std::wstring(name, len);
  }
  std::wstring Value() {
    const wchar_t* value = nullptr;
    UINT len = 0;
    if (FAILED(r_->GetValue(&value, &len)) || !value) return {};
    return std::wstring(value, len);
  }
  bool Empty() { return r_->IsEmptyElement() != FALSE; }
  bool failed() const { return failed_; }

  // The text of the element just started, up to its end; false when
  // another element is inside it.
  bool ElementText(std::wstring* text) {
    text->clear();
    if (Empty()) return true;
    XmlNodeType type;
    while (Next(&type)) {
      if (type == XmlNodeType_EndElement) return true;
      if (type == XmlNodeType_Element) return false;
      *text += Value();
    }
    return false;
  }
  // Passes over the rest of the element just started.
  bool Skip() {
    if (Empty()) return true;
    int depth = 1;
    XmlNodeType type;
    while (Next(&type)) {
      if (type == XmlNodeType_Element && !Empty()) ++depth;
      if (type == XmlNodeType_EndElement && --depth == 0) return true;
    }
    return false;
  }

 private:
  IXmlReader* r_;
  bool failed_ = false;
};

// CreateXmlReader from the system's xmllite.dll (the cross compiler ships
// no import library for it), looked up once.
using CreateXmlReaderFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);
CreateXmlReaderFn LoadCreateXmlReader() {
  static const CreateXmlReaderFn fn = [] {
    HMODULE dll = LoadLibraryExW(L"xmllite.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll) dll = LoadLibraryW(L"xmllite.dll");
    return dll ? reinterpret_cast<CreateXmlReaderFn>(
                     reinterpret_cast<void (*)()>(GetProcAddress(dll, "CreateXmlReader")))
               : nullptr;
  }();
  return fn;
}

// An <integer> element's text: decimal, optionally signed; negative numbers
// are kept in two's complement.
bool ParseInteger(const std::string& text, uint64_t* out) {
  std::string t;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') t += c;
  if (t.empty()) return false;
  bool negative = t[0] == '-';
  size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  if (i == t.size()) return false;
  uint64_t v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
    uint64_t d = static_cast<uint64_t>(t[i] - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = negative ? (~v + 1) : v;
  return true;
}

}  // namespace

ParseResult ParseDictionary(std::string_view xml, std::map<std::string, Value>* out) {
  out->clear();
  if (xml.empty() || xml.size() > 0x7FFFFFFF) return ParseResult::kUnreadable;
  // A document cut short is damaged; some XmlLite versions close the open
  // elements at the end of the input themselves, so this is checked first.
  if (xml.find("</plist>") == std::string_view::npos) return ParseResult::kUnreadable;
  ComPtr<IStream> stream;
  *stream.out() =
      SHCreateMemStream(reinterpret_cast<const BYTE*>(xml.data()), static_cast<UINT>(xml.size()));
  if (!stream.get()) return ParseResult::kUnreadable;
  ComPtr<IXmlReader> xr;
  const auto create = LoadCreateXmlReader();
  if (!create || FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(xr.out()), nullptr)))
    return ParseResult::kUnreadable;
  // Property lists carry a DOCTYPE; its external part is never fetched
  // (no resolver is set).
  xr->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Parse);
  if (FAILED(xr->SetInput(stream.get()))) return ParseResult::kUnreadable;

  Reader r(xr.get());
  XmlNodeType type;
  // <plist> and then its one value.
  if (!r.Next(&type) || type != XmlNodeType_Element || r.Name() != L"plist" || r.Empty())
    return ParseResult::kUnreadable;
  if (!r.Next(&type)) return ParseResult::kUnreadable;
  if (type != XmlNodeType_Element) return ParseResult::kUnreadable;
  if (r.Name() != L"dict") return r.Skip() ? ParseResult::kNotDict : ParseResult::kUnreadable;

  std::map<std::string, Value> items;
  if (!r.Empty()) {
    for (;;) {
      if (!r.Next(&type)) return ParseResult::kUnreadable;
      if (type == XmlNodeType_EndElement) break;  // </dict>
      if (type != XmlNodeType_Element || r.Name() != L"key") return ParseResult::kUnreadable;
      std::wstring key;
      if (!r.ElementText(&key)) return ParseResult::kUnreadable;
      if (!r.Next(&type) || type != XmlNodeType_Element) return ParseResult::kUnreadable;
      const std::wstring kind = r.Name();
      Value value;
      if (kind == L"integer" || kind == L"string") {
        std::wstring text;
        if (!r.ElementText(&text)) return ParseResult::kUnreadable;
        if (kind == L"integer") {
          value.kind = Value::Kind::kInteger;
          if (!ParseInteger(WideToUtf8(text), &value.integer)) return ParseResult::kUnreadable;
        } else {
          value.kind = Value::Kind::kString;
          value.text = WideToUtf8(text);
        }
      } else if (!r.Skip()) {
        return ParseResult::kUnreadable;
      }
      items[WideToUtf8(key)] = std::move(value);
    }
  }
  // Nothing but the end may follow.
  while (r.Next(&type)) {
    if (type == XmlNodeType_Element) return ParseResult::kUnreadable;
  }
  if (r.failed()) return ParseResult::kUnreadable;
  *out = std::move(items);
  return ParseResult::kOk;
}

}  // namespace cadenza::plist
