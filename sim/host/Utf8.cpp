// UTF-8 to UTF-16 for the stand-in host. Ill-formed input never stops the conversion: each
// maximal ill-formed subpart becomes one U+FFFD, as Unicode recommends.
#include <cstdint>
#include <string>

#include "host/VelkorApi.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Decodes one code point at text[i] and advances i past what it used.
char32_t DecodeOne(const std::string& text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  int length = 0;
  char32_t codePoint = 0;
  unsigned char low = 0x80;   // allowed range of the second byte, narrowed to refuse
  unsigned char high = 0xBF;  // overlong forms, surrogates and values past U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kReplacement;
  }
  for (int n = 1; n < length; ++n) {
    if (i >= text.size()) return kReplacement;
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool inRange = n == 1 ? (byte >= low && byte <= high) : IsContinuation(byte);
    if (!inRange) return kReplacement;  // the offending byte starts the next code point
    codePoint = (codePoint << 6) | (byte & 0x3F);
    ++i;
  }
  return codePoint;
}

}  // namespace

namespace VelkorApi::Tools {

Utf16String Utf8Decode(const std::string& utf8) {
  Utf16String units;
  units.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t codePoint = DecodeOne(utf8, i);
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
