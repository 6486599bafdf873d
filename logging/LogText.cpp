#include "logging/LogText.h"

#include <algorithm>
#include <cstdio>

#include "text/Utf8.h"

namespace tamsel {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::string_view kCutMark = "...";

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
      (void)std::snprintf(buffer, sizeof(buffer), "\\x%02x", c);
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
    const Utf8Sequence sequence = ReadUtf8Sequence(text);
    // Each byte of an ill-formed sequence is replaced on its own.
    const std::size_t length = sequence.wellFormed ? sequence.length : 0;
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
    const Utf8Sequence sequence = ReadUtf8Sequence(text);
    if (!sequence.wellFormed) return false;
    text.remove_prefix(sequence.length);
  }
  return true;
}

}  // namespace tamsel
