#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tamsel {

// Text from elsewhere (a library's error message, an exception's what()) made fit for one log
// line: at most `maxBytes` bytes of it, cut between characters and marked "..." where cut, with
// every byte that is not part of well-formed UTF-8 replaced by U+FFFD and every control
// character written as an escape ("\n", "\x1b"), so that it cannot split the line.
std::string Excerpt(std::string_view text, std::size_t maxBytes = 300);

// True when every byte of `text` belongs to a well-formed UTF-8 sequence.
bool IsWellFormedUtf8(std::string_view text);

}  // namespace tamsel
