// Text conversions between the encodings the system meets: UTF-8 (the
// core's text), UTF-16 (database strings) and Windows-1252 (byte text in the
// ANSI code page of the systems the database format comes from).
#ifndef CADENZA_PLATFORM_TEXT_H_
#define CADENZA_PLATFORM_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace cadenza {

// Appends the UTF-8 form of code point `cp` (U+FFFD for invalid values).
void AppendUtf8(std::string& out, char32_t cp);

// UTF-16 code units to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view s);

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view s);

// The character that byte `b` stands for in Windows-1252 (the five unused
// bytes map to the C1 control of the same value, as the platform does).
char32_t Cp1252ToCodePoint(uint8_t b);

// A whole Windows-1252 byte string to UTF-8.
std::string Cp1252ToUtf8(std::string_view s);

// Number of code points in UTF-8 text (invalid bytes count one each).
size_t Utf8Length(std::string_view s);

// The first `n` code points of UTF-8 text.
std::string Utf8Prefix(std::string_view s, size_t n);

// The columns a terminal gives a code point: 2 for the wide characters of
// East Asian scripts, 0 for combining marks, 1 otherwise.
int DisplayWidth(char32_t cp);
// The longest start of UTF-8 text that fits in `width` columns; *used
// receives the columns it takes.
std::string Utf8FitWidth(std::string_view s, size_t width, size_t* used);

// Upper-cases ASCII letters.
std::string AsciiUpper(std::string_view s);
std::string AsciiLower(std::string_view s);

// Removes leading and trailing blanks (spaces only).
std::string TrimBlanks(std::string_view s);

#ifdef _WIN32
// Windows-only conversions for the Windows API's wide-character calls.

// UTF-8 to UTF-16 as wchar_t; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(std::string_view s);
// UTF-16 as wchar_t to UTF-8; unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view s);

// Each byte to the one UTF-16 unit it stands for in the ANSI code page, so
// byte strings travel through BSTRs unchanged and read as text.
std::wstring AnsiBytesToWide(std::string_view bytes);
// The reverse: each unit back to its ANSI byte ('?' for a unit the code page
// does not have).
std::string WideToAnsiBytes(std::wstring_view s);
#endif

}  // namespace cadenza

#endif  // CADENZA_PLATFORM_TEXT_H_
