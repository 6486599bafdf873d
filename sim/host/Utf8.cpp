// UTF-8 to UTF-16 for the stand-in host. Ill-formed input never stops the conversion: each
// maximal ill-formed subpart becomes one U+FFFD, as Unicode recommends.
#include <cstdint>
#include <string>

#include "host/VelkorApi.h"
#include "text/Utf8.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

namespace VelkorApi::Tools {

Utf16String Utf8Decode(const std::string& utf8) {
  Utf16String units;
  units.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const tamsel::Utf8Sequence sequence =
        tamsel::ReadUtf8Sequence(std::string_view(utf8).substr(i));
    i += sequence.length;
    const char32_t codePoint = sequence.wellFormed ? sequence.codePoint : kReplacement;
    if (codePoint < 0x10000) {
      units.push_back(static_cast<Utf16Char>(codePoint));
    } else {
      const char32_t offset = codePoint - 0x10000;
      units.push_back(static_cast<Utf16Char>(0xD800 + (offset >> 10)));
      units.push_back(static_cast<Utf16Char>(0xDC00 + (offset & 0x3FF)));
    }
  }
  return units;
}

}  // namespace VelkorApi::Tools
