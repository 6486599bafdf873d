#include <string>

#include <gtest/gtest.h>

#include "logging/LogText.h"

namespace {

using tamsel::Excerpt;
using tamsel::IsWellFormedUtf8;

TEST(LogTextTest, ExcerptsAreShortAndWellFormed) {
  EXPECT_EQ(Excerpt("plain text"), "plain text");
  EXPECT_EQ(Excerpt("/srv/line\nbreak\r\t\x1b[31m\x7f"), "/srv/line\\nbreak\\r\\t\\x1b[31m\\x7f")
      << "a control character must not split or colour the line";
  EXPECT_EQ(Excerpt(std::string(300, 'x')), std::string(300, 'x'));
  EXPECT_EQ(Excerpt(std::string(301, 'x')), std::string(297, 'x') + "...");
  EXPECT_EQ(Excerpt(std::string(100'000'000, '"')).size(), 300U);
  // Invalid bytes become U+FFFD; a cut never splits a character.
  EXPECT_EQ(Excerpt("a\xFF\xC0\xAF"
                    "b"),
            "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Excerpt("\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 7), "\xE2\x82\xAC...");
  EXPECT_EQ(Excerpt("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << "a surrogate";
}

}  // namespace
