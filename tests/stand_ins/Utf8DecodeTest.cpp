#include <string>

#include <gtest/gtest.h>

#include "host/VelkorApi.h"

namespace {

TEST(Utf8DecodeTest, ConvertsToUtf16AndReplacesInvalidInput) {
  using VelkorApi::Tools::Utf8Decode;
  const auto units = [](std::initializer_list<unsigned> list) {
    Utf16String text;
    for (unsigned unit : list)
      text.push_back(static_cast<Utf16Char>(unit));
    return text;
  };
  EXPECT_EQ(Utf8Decode(""), units({}));
  EXPECT_EQ(Utf8Decode("0,4,5"), units({'0', ',', '4', ',', '5'}));
  EXPECT_EQ(Utf8Decode("\xC3\xA9\xE2\x82\xAC"), units({0xE9, 0x20AC}));
  EXPECT_EQ(Utf8Decode("\xF0\x9F\x98\x80"), units({0xD83D, 0xDE00})) << "a surrogate pair";
  EXPECT_EQ(Utf8Decode("\xFF"
                       "1"),
            units({0xFFFD, '1'}));
  EXPECT_EQ(Utf8Decode("\xC0\xAF"), units({0xFFFD, 0xFFFD})) << "overlong form";
  EXPECT_EQ(Utf8Decode("\xED\xA0\x80"), units({0xFFFD, 0xFFFD, 0xFFFD})) << "encoded surrogate";
  EXPECT_EQ(Utf8Decode("\xE2\x82"
                       "5"),
            units({0xFFFD, '5'}))
      << "truncated sequence";
  EXPECT_EQ(Utf8Decode("\xF4\x90\x80\x80"), units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf8Decode("\xE2\x82"), units({0xFFFD})) << "cut off at the end";
}

}  // namespace
