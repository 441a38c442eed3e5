// Windows text conversions: UTF-8 <-> wchar_t, and the byte-wise ANSI code
// page mapping.
#include <windows.h>

#include <array>
#include <mutex>

#include "platform/text.h"

namespace cadenza {

std::wstring Utf8ToWide(std::string_view s) {
  std::u16string u = Utf8ToUtf16(s);
  return std::wstring(u.begin(), u.end());
}

std::string WideToUtf8(std::wstring_view s) {
  std::u16string u(s.size(), u'\0');
  for (size_t i = 0; i < s.size(); ++i) u[i] = static_cast<char16_t>(s[i]);
  return Utf16ToUtf8(u);
}

namespace {

// The UTF-16 unit for every byte of the ANSI code page, built once byte by
// byte. A byte that is only a lead byte of a multi-byte code page (no
// character on its own) keeps its own value, as Latin-1 would.
const std::array<wchar_t, 256>& AnsiTable() {
  static std::array<wchar_t, 256> table;
  static std::once_flag once;
  std::call_once(once, [] {
    for (int b = 0; b < 256; ++b) {
      char c = static_cast<char>(b);
      wchar_t w = 0;
      int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &c, 1, &w, 1);
      table[static_cast<size_t>(b)] = n == 1 ? w : static_cast<wchar_t>(b);
    }
  });
  return table;
}

}  // namespace

std::wstring AnsiBytesToWide(std::string_view bytes) {
  const auto& table = AnsiTable();
  std::wstring out(bytes.size(), L'\0');
  for (size_t i = 0; i < bytes.size(); ++i) out[i] = table[static_cast<unsigned char>(bytes[i])];
  return out;
}

std::string WideToAnsiBytes(std::wstring_view s) {
  const auto& table = AnsiTable();
  std::string out;
  out.reserve(s.size());
  for (wchar_t w : s) {
    // The table first, so every byte comes back exactly as it went in.
    int found = -1;
    for (int b = 0; b < 256; ++b) {
      if (table[static_cast<size_t>(b)] == w) {
        found = b;
        break;
      }
    }
    if (found < 0) {
      char c = '?';
      BOOL used_default = FALSE;
      int n = WideCharToMultiByte(CP_ACP, 0, &w, 1, &c, 1, nullptr, &used_default);
      found = n == 1 ? static_cast<unsigned char>(c) : '?';
    }
    out.push_back(static_cast<char>(found));
  }
  return out;
}

}  // namespace cadenza
