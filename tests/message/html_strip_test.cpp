// The HTML strip: its rules by example, and the linear strip against the
// direct quadratic reference on generated text.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "message/html_strip.h"
#include "tests/message/message_testing.h"

namespace quarn {
namespace {

using namespace std::string_literals;
using testing::strip_html_linear;
using testing::strip_html_reference;

struct StripCase {
  const char* name;
  std::string text;
  int html;
  std::string visible;
  std::int32_t comment_score = 0;
  std::int32_t suspicious_images = 0;
};

void check(const StripCase& c) {
  const auto result = strip_html_linear(c.text, c.html);
  EXPECT_EQ(result.visible, c.visible) << c.name;
  EXPECT_EQ(result.stats.comment_score, c.comment_score) << c.name;
  EXPECT_EQ(result.stats.suspicious_images, c.suspicious_images) << c.name;
}

TEST(HtmlStrip, FoldsWhiteSpaceOnlyInHtmlMode) {
  const StripCase cases[] = {
      {"runs become one blank", "a  b\n\nc\td\r\n", 1, "a b c d "},
      {"a blank before a line end", "x \n y", 1, "x y"},
      {"single blanks stay", "a b c", 1, "a b c"},
      {"plain mode keeps everything", "a  b\n\n<b>c</b>", 0, "a  b\n\n<b>c</b>"},
      {"white space inside a tag is folded before it is read", "<a\n\thref=x><img\nsrc=y>", 1,
       "", 0, 1},
  };
  for (const auto& c : cases) check(c);
}

TEST(HtmlStrip, RemovesTagsAndKeepsLoneLessThan) {
  const StripCase cases[] = {
      {"tags", "<p>Hi <b>there</b></p>", 1, "Hi there"},
      {"entities stay as written", "a &amp; b&nbsp;c", 1, "a &amp; b&nbsp;c"},
      {"a lone < stays", "a < b", 1, "a < b"},
      {"a second < near the first is passed over", "x <<b>y", 1, "x y"},
      {"a < far before a tag goes with the tag", "x < y and more <b>z</b>", 1, "x z"},
      {"a > without < is text", "a > b", 1, "a > b"},
  };
  for (const auto& c : cases) check(c);
}

TEST(HtmlStrip, ScoresComments) {
  const StripCase cases[] = {
      {"one comment", "0123456789ab<!-- c -->d", 1, "0123456789abd", 1},
      {"a comment near the start counts as close", "x<!-- c -->y", 1, "xy", 3},
      {"close comments", "0123456789ab<!--1--><!--2-->", 1, "0123456789ab", 4},
      {"ten characters apart", "0123456789ab<!--1-->0123456789<!--2-->", 1,
       "0123456789ab0123456789", 2},
      {"distance is measured in the folded text",
       "0123456789ab<!--1-->a \n\n\n\n\n\n\n\n\nb<!--2-->", 1, "0123456789aba b", 4},
      {"a tag is not a comment", "0123456789ab<!- x ->", 1, "0123456789ab"},
      {"an unterminated comment drops the rest", "0123456789ab<!-- a > b", 1, "0123456789ab", 1},
      {"a comment opener with no > after it is text", "ab <!-- never", 1, "ab <!-- never"},
      {"an unterminated tag drops the rest", "ab<b cdefg <i", 1, "ab"},
      {"a comment in plain mode is text", "<!-- x -->", 0, "<!-- x -->"},
  };
  for (const auto& c : cases) check(c);
}

TEST(HtmlStrip, ScoresImagesInsideLinks) {
  const StripCase cases[] = {
      {"linked image", "<a href=x><img src=y></a >", 1, "", 0, 1},
      {"outside a link", "<img src=y><a href=x>t</a ><img src=z>", 1, "t", 0, 0},
      {"</a> without a blank does not leave the link", "<a href=x></a><img >", 1, "", 0, 1},
      {"inside a table", "<table border=1><a href=x><img src=y>", 1, "", 0, 5},
      {"</table> without a blank does not leave the table",
       "<table border=0><a href=x><img src=a></a></table><a href=y><img src=b>", 1, "", 0, 10},
      {"HREF counts when no href follows", "<A HREF=x><img >", 1, "", 0, 1},
      {"a later href hides HREF", "<A HREF=x><img ><a name=z href=w>", 1, "", 0, 0},
      {"an anchor without href", "<a name=n><img >", 1, "", 0, 0},
  };
  for (const auto& c : cases) check(c);
}

TEST(HtmlStrip, PlainModeLooksForAnHtmlContentType) {
  const StripCase cases[] = {
      {"switches after the header", "head\nContent-Type: text/html\n<b>x</b>\n", 0,
       "head\nContent-Type: text/html x "},
      {"upper case header", "CONTENT-TYPE:\tTEXT/HTML\n<b>x</b>", 0,
       "CONTENT-TYPE:\tTEXT/HTML x"},
      {"another type", "Content-Type: text/plain\n<b>x</b>", 0,
       "Content-Type: text/plain\n<b>x</b>"},
      {"a header within 13 characters of content- is skipped",
       "content-x Content-Type: text/html\n<b>x</b>", 0,
       "content-x Content-Type: text/html\n<b>x</b>"},
      {"a lower-case content- later hides the header",
       "Content-Type: text/html\n<b>x</b> content-id", 0,
       "Content-Type: text/html\n<b>x</b> content-id"},
      {"content- at the very end", "text content-", 0, "text content-"},
  };
  for (const auto& c : cases) check(c);
}

TEST(HtmlStrip, CountsLettersAndCapitals) {
  HtmlStats stats;
  mf_count_letters("Hello, WORLD 123 \xc9t\xe9", 100, stats);
  EXPECT_EQ(stats, (HtmlStats{0, 0, 11, 6}));
  mf_count_letters("ABCdef", 4, stats);
  EXPECT_EQ(stats, (HtmlStats{0, 0, 15, 9}));
  mf_count_letters("ab\0CD"s, 5, stats);
  EXPECT_EQ(stats, (HtmlStats{0, 0, 17, 9}));

  const auto result = strip_html_linear("<b>AB</b>cd <!-- EF --> G", 1);
  EXPECT_EQ(result.visible, "ABcd  G");
  EXPECT_EQ(result.stats.letters, 5);
  EXPECT_EQ(result.stats.capitals, 3);
}

TEST(HtmlStrip, WritesTheVisibleTextBackInPlace) {
  std::vector<char> buffer(32, 'x');
  const std::string text = "<p>one  two</p>";
  std::copy(text.begin(), text.end(), buffer.begin());
  HtmlStats stats{9, 9, 9, 9};
  EXPECT_EQ(rf_strip_html(buffer, text.size(), 1, stats), 7u);
  EXPECT_EQ(std::string(buffer.data(), 8), "one two\0"s);
  EXPECT_EQ(stats, (HtmlStats{0, 0, 6, 0}));
  // The length is cut so that the terminator fits, and at a NUL.
  std::vector<char> small = {'a', 'b', 'c'};
  EXPECT_EQ(rf_strip_html(small, 3, 1, stats), 2u);
  EXPECT_EQ(small[2], '\0');
  std::vector<char> nul = {'a', '\0', 'b', 'c'};
  EXPECT_EQ(rf_strip_html(nul, 4, 1, stats), 1u);
  EXPECT_EQ(rf_strip_html(std::span<char>(), 0, 1, stats), 0u);
}

// Text built from pieces that exercise every rule: markup, comments, runs of
// white space in every mix, header words of plain mode.
std::string generated_text(std::mt19937& random, std::size_t pieces) {
  static const char* const kPieces[] = {
      "<",     ">",         "<!--",      "-->",     "--",     "<!-",   " ",  "  ",   "\n",
      "\r\n",  "\t",        " \n ",      "a",       "Word",   "CAPS",  "<b>", "</b>", "<a href=x>",
      "<a ",   "<A HREF=y>", "href",     "HREF",    "</a>",   "</a >", "<img ", "<img src=z>",
      "<table ", "</table >", "<table>", "<p>",     "content-", "Content-Type: text/html",
      "Content-Type:  text/plain", "CONTENT-TYPE:\ttext/HTML", "xxxxxx", "<<",    "0123456789",
  };
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kPieces) - 1);
  std::string text;
  for (std::size_t i = 0; i < pieces; ++i) text += kPieces[pick(random)];
  return text;
}

TEST(HtmlStrip, MatchesTheReferenceOnGeneratedText) {
  std::mt19937 random(20030825);
  for (int round = 0; round < 4000; ++round) {
    const std::string text = generated_text(random, 1 + round % 120);
    for (int html : {0, 1}) {
      const auto expected = strip_html_reference(text, html);
      const auto actual = strip_html_linear(text, html);
      ASSERT_EQ(actual.visible, expected.visible) << "html=" << html << " text=" << text;
      ASSERT_EQ(actual.stats, expected.stats) << "html=" << html << " text=" << text;
    }
  }
}

}  // namespace
}  // namespace quarn
