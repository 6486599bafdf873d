#pragma once

#include <string>
#include <string_view>

// Text in UTF-16 code units, the server's own string encoding. On Windows the host hands wide
// text over as std::wstring; wchar_t is 32 bits on Linux, so there it is std::u16string.
#if defined(_WIN32)
using Utf16Char = wchar_t;
#else
using Utf16Char = char16_t;
#endif
using Utf16String = std::basic_string<Utf16Char>;
static_assert(sizeof(Utf16Char) == 2, "the server's strings hold 16-bit code units");

namespace tamsel {

// The same code units as a std::wstring, the type the standard library's wide number
// conversions take. Each unit is copied as it is.
inline std::wstring ToStdWide(const Utf16Char* text) {
  const std::basic_string_view<Utf16Char> units(text);
  return std::wstring(units.begin(), units.end());
}

}  // namespace tamsel
