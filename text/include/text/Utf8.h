#pragma once

#include <cstddef>
#include <string_view>

namespace tamsel {

// The UTF-8 sequence at the start of some text, read by Unicode's rules: overlong forms,
// surrogates and values past U+10FFFF are ill-formed.
struct Utf8Sequence {
  bool wellFormed = false;
  // Well-formed: the sequence's length. Ill-formed: the length of its maximal ill-formed
  // subpart (at least 1), which Unicode replaces by one U+FFFD.
  std::size_t length = 0;
  char32_t codePoint = 0;  // when well-formed
};

// Reads the sequence at the start of `text`, which must not be empty.
Utf8Sequence ReadUtf8Sequence(std::string_view text);

}  // namespace tamsel
