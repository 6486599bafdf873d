#include "logging/LogText.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::string_view kCutMark = "...";

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 if there is none.
std::size_t SequenceLength(std::string_view text) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// A control character would break the line or the terminal showing it: written as an escape.
std::string_view ControlEscape(unsigned char c, char (&buffer)[5]) {
  switch (c) {
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      std::snprintf(buffer, sizeof(buffer), "\\x%02x", c);
      return buffer;
  }
}

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

}  // namespace

std::string Excerpt(std::string_view text, std::size_t maxBytes) {
  std::string excerpt;
  while (!text.empty() && excerpt.size() <= maxBytes) {
    const std::size_t length = SequenceLength(text);
    char escape[5];
    const auto lead = static_cast<unsigned char>(text[0]);
    excerpt += length == 1 && IsControl(lead) ? ControlEscape(lead, escape)
               : length > 0                   ? text.substr(0, length)
                                              : kReplacement;
    text.remove_prefix(length > 0 ? length : 1);
  }
  if (excerpt.size() <= maxBytes && text.empty()) return excerpt;
  // Too long: cut at a character boundary that leaves room for the mark.
  std::size_t cut = maxBytes - std::min(maxBytes, kCutMark.size());
  while (cut > 0 && (static_cast<unsigned char>(excerpt[cut]) & 0xC0) == 0x80)
    --cut;
  excerpt.resize(cut);
  return excerpt += kCutMark;
}

bool IsWellFormedUtf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = SequenceLength(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}
