// Str::string, the string class C++ hosts hand paths in: appending a string's own
// text to itself, across the growth from the inline buffer to the heap and from one
// heap buffer to a larger one.
#include "mpg_string.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

enum class SelfAppend { CStr, PlusEqualsSelf, Substring };

struct SelfAppendCase {
  const char *name;
  std::size_t length;  // of the starting text
  SelfAppend how;
};
void PrintTo(const SelfAppendCase &c, std::ostream *os) { *os << c.name; }

// Starting text of the given length, every character different from its neighbours
// so a shifted or stale copy shows.
std::string StartText(std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

class StrSelfAppend : public ::testing::TestWithParam<SelfAppendCase> {};

TEST_P(StrSelfAppend, KeepsTheTextItAppends) {
  const SelfAppendCase &c = GetParam();
  const std::string start = StartText(c.length);
  Str::string s(start.c_str());
  std::string expected = start;
  switch (c.how) {
    case SelfAppend::CStr:
      s.append(s.c_str());
      expected += start;
      break;
    case SelfAppend::PlusEqualsSelf:
      s += s;
      expected += start;
      break;
    case SelfAppend::Substring:
      s.append(s.view().substr(1, c.length - 2));
      expected += start.substr(1, c.length - 2);
      break;
  }
  EXPECT_EQ(std::string(s.view()), expected);
  EXPECT_EQ(std::string(s.c_str()), expected) << "terminator after the text";
  EXPECT_EQ(s.size(), expected.size());
  EXPECT_GE(s.capacity(), s.size());
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, StrSelfAppend,
    ::testing::Values(SelfAppendCase{"CStrStaysInline", 7, SelfAppend::CStr},
                      SelfAppendCase{"CStrOutgrowsInline", 10, SelfAppend::CStr},
                      SelfAppendCase{"CStrRegrowsHeap", 40, SelfAppend::CStr},
                      SelfAppendCase{"PlusEqualsStaysInline", 6, SelfAppend::PlusEqualsSelf},
                      SelfAppendCase{"PlusEqualsOutgrowsInline", 15, SelfAppend::PlusEqualsSelf},
                      SelfAppendCase{"PlusEqualsRegrowsHeap", 33, SelfAppend::PlusEqualsSelf},
                      SelfAppendCase{"SubstringOutgrowsInline", 12, SelfAppend::Substring},
                      SelfAppendCase{"SubstringRegrowsHeap", 100, SelfAppend::Substring}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(StrString, RepeatedSelfAppendDoublesEachTime) {
  Str::string s("ab");
  std::string expected = "ab";
  for (int i = 0; i < 8; ++i) {
    s += s;
    expected += expected;
  }
  EXPECT_EQ(std::string(s.view()), expected);
}

}  // namespace
