#include "text/Utf8.h"

namespace tamsel {

Utf8Sequence ReadUtf8Sequence(std::string_view text) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {true, 1, lead};
  std::size_t length = 0;
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
    return {false, 1, 0};
  }
  for (std::size_t i = 1; i < length; ++i) {
    // The offending byte is not part of the subpart: it starts the next sequence.
    if (i >= text.size()) return {false, i, 0};
    const unsigned char next = byte(i);
    const bool inRange = i == 1 ? (next >= low && next <= high) : (next & 0xC0) == 0x80;
    if (!inRange) return {false, i, 0};
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  return {true, length, codePoint};
}

}  // namespace tamsel
