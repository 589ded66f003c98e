// The bounded-text helpers: every protocol cut of the engine goes through them.
#include "support/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace quarn {
namespace {

bool format_was_cut(std::string& out, std::size_t size, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  bool cut = vlprintf(out, size, fmt, args);
  va_end(args);
  return cut;
}

TEST(BoundedText, FormatsAndCutsAtCapacityLessOne) {
  EXPECT_EQ(lprintf(1000, "%s-%d", "ab", 7), "ab-7");
  EXPECT_EQ(lprintf(4, "%s", "abcdef"), "abc");
  EXPECT_EQ(lprintf(1, "%s", "abc"), "");
  std::string out;
  EXPECT_FALSE(format_was_cut(out, 1000, "%s", std::string(999, 'x').c_str()));
  EXPECT_EQ(out.size(), 999u);
  EXPECT_TRUE(format_was_cut(out, 1000, "%s", std::string(1000, 'x').c_str()));
  EXPECT_EQ(out.size(), 999u);
  // Longer than the internal first attempt: the text is formatted whole first.
  EXPECT_EQ(lprintf(5000, "%s", std::string(3000, 'y').c_str()).size(), 3000u);
}

TEST(BoundedText, AppendNeverExceedsCapacity) {
  std::string s = "ab";
  strcatn(s, "cdef", 5);
  EXPECT_EQ(s, "abcd");
  strcatn(s, "x", 5);
  EXPECT_EQ(s, "abcd");
  std::string big(10, 'z');
  strcatn(big, "more", 5);  // already over: nothing added, nothing removed
  EXPECT_EQ(big, std::string(10, 'z'));
}

TEST(BoundedText, Cuts) {
  EXPECT_EQ(stripcrlf("abc\r\ndef"), "abc");
  EXPECT_EQ(stripcrlf("abc\ndef"), "abc");
  EXPECT_EQ(stripcrlf("abc"), "abc");
  EXPECT_EQ(ncpy("abcdef", 3), "abc");
  EXPECT_EQ(ncpy("ab", 3), "ab");
  EXPECT_EQ(cstr_view(std::string_view("ab\0cd", 5)), "ab");
}

TEST(BoundedText, CaseInsensitiveComparisonTouchesAsciiOnly) {
  EXPECT_EQ(mystrcmpnc("Subject", "sUBJECT"), 0);
  EXPECT_LT(mystrcmpnc("abc", "abd"), 0);
  EXPECT_GT(mystrcmpnc("abc", "ab"), 0);
  EXPECT_LT(mystrcmpnc("ab", "abc"), 0);
  EXPECT_EQ(mystrncmpnc("Content-Type: x", "content-type:", 13), 0);
  EXPECT_NE(mystrncmpnc("\xC4", "\xE4", 1), 0);  // bytes above 127 keep their case
  EXPECT_TRUE(starts_with_nc("Received: from", "RECEIVED: "));
  EXPECT_FALSE(starts_with_nc("Rec", "Received"));
  std::string up = "abc-\xE4z";
  mystrupr(up);
  EXPECT_EQ(up, "ABC-\xE4Z");
}

TEST(BoundedText, FindIgnoringCase) {
  EXPECT_EQ(strstrnc("a <HTML> b", "<html>"), 2u);
  EXPECT_EQ(strstrnc("hidden", "ID"), 1u);
  EXPECT_EQ(strstrnc("abc", ""), 0u);
  EXPECT_EQ(strstrnc("ab", "abc"), std::string_view::npos);
  EXPECT_EQ(strstrnc("xxaxab", "AB"), 4u);
}

TEST(BoundedText, AtoiReadsLikeTheCLibrary) {
  struct Case {
    const char* text;
    std::int32_t value;
  };
  const std::vector<Case> cases = {
      {"42", 42},       {"  -17xyz", -17}, {"+5", 5},          {"\t\n 8", 8},
      {"abc", 0},       {"", 0},           {"- 5", 0},         {"0012", 12},
      {"99999999999", INT32_MAX},          {"-99999999999", INT32_MIN},
      {"2147483647", INT32_MAX},           {"-2147483648", INT32_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(atoi32(c.text), c.value) << c.text;
}

TEST(BoundedText, TokenizerSkipsRunsOfSeparators) {
  Tokenizer tok("  SET||12~~|3 ");
  EXPECT_EQ(tok.next(" |~"), "SET");
  EXPECT_EQ(tok.next(" |~"), "12");
  EXPECT_EQ(tok.next(" |~"), "3");
  EXPECT_EQ(tok.next(" |~"), "");
  EXPECT_EQ(tok.next(" |~"), "");
  Tokenizer words("a b");
  EXPECT_EQ(words.next(" "), "a");
  EXPECT_EQ(words.rest(), " b");
}

}  // namespace
}  // namespace quarn
