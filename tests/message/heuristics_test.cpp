// The heuristic flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/heuristics.h"
#include "message/message_model.h"
#include "tests/message/model_fixture.h"

namespace quarn::testing {
namespace {

std::string flag_names(const HeuristicInput& input) {
  const HeuristicFlags flags = find_heuristic_flags(input);
  std::string text;
  for (std::size_t i = 0; i < flags.count; ++i) {
    if (!text.empty()) text += ' ';
    text += flags.names[i];
  }
  return text;
}

HeuristicInput stats(std::int32_t comments, std::int32_t images, std::int32_t letters,
                     std::int32_t capitals) {
  HeuristicInput input;
  input.stats = HtmlStats{comments, images, letters, capitals};
  return input;
}

TEST(Heuristics, CommentsImagesAndCapitals) {
  struct Case {
    HeuristicInput input;
    std::string flags;
  };
  const Case cases[] = {
      {stats(10, 0, 0, 0), ""},
      {stats(11, 0, 0, 0), "some_html_comments"},
      {stats(20, 0, 0, 0), "some_html_comments"},
      {stats(21, 0, 0, 0), "many_html_comments"},
      // Suspicious images against the letters of the visible text.
      {stats(0, 3, 200, 0), ""},
      {stats(0, 3, 100, 0), "low_text_images_ratio"},
      {stats(0, 3, 149, 0), "low_text_images_ratio"},
      {stats(0, 3, 150, 0), ""},
      {stats(0, 6, 299, 0), "low_text_images_ratio medium_text_images_ratio"},
      {stats(0, 12, 700, 0), "some_suspicious_images medium_text_images_ratio"},
      {stats(0, 12, 800, 0), "some_suspicious_images"},
      {stats(0, 10, 900, 0), ""},
      {stats(0, 25, 900, 0), "some_suspicious_images"},
      {stats(0, 26, 900, 0), "many_suspicious_images"},
      {stats(0, 30, 250, 0),
       "many_suspicious_images low_text_images_ratio medium_text_images_ratio"},
      {stats(0, 30, 100, 0),  // both low tests hold
       "many_suspicious_images low_text_images_ratio low_text_images_ratio "
       "medium_text_images_ratio"},
      // Capitals among letters; both tests are made.
      {stats(0, 0, 100, 25), ""},
      {stats(0, 0, 100, 26), "medium_caps"},
      {stats(0, 0, 100, 30), "medium_caps"},
      {stats(0, 0, 100, 50), "medium_caps"},
      {stats(0, 0, 100, 51), "high_caps medium_caps"},
      {stats(0, 0, 100, 60), "high_caps medium_caps"},
      {stats(0, 0, 3, 1), "medium_caps"},  // 33 %
      {stats(0, 0, 0, 0), ""},
  };
  for (const Case& c : cases) {
    const HtmlStats& s = c.input.stats;
    EXPECT_EQ(flag_names(c.input), c.flags) << s.comment_score << " " << s.suspicious_images
                                            << " " << s.letters << " " << s.capitals;
  }
}

TEST(Heuristics, TagsToTextAndEncodedFirstPart) {
  struct Case {
    std::int64_t raw;
    std::int64_t visible;
    int first_text_base64;
    std::string flags;
  };
  const Case cases[] = {
      {1000, 1000, 0, ""},  // plain text: nothing removed
      {1000, 1200, 0, ""},  // more visible than raw body
      {1000, 600, 0, "medium_tags_to_text"},   // tags 40
      {1000, 609, 0, "medium_tags_to_text"},   // 609 * 100 / 1000 truncates to 60
      {1000, 610, 0, ""},                      // tags 39
      {1000, 300, 0, "high_tags_to_text"},     // tags 70
      {1000, 309, 0, "high_tags_to_text"},
      {1000, 310, 0, "medium_tags_to_text"},   // tags 69
      {1000, 100, 0, "extreme_tags_to_text"},  // a tenth: tags 90
      {1000, 109, 0, "extreme_tags_to_text"},
      {1000, 110, 0, "high_tags_to_text"},     // tags 89
      {0, 100, 0, ""},
      {1000, 0, 0, ""},
      {1000, 1000, 1, "encoded_html"},
      {1000, 1000, -1, ""},
  };
  for (const Case& c : cases) {
    HeuristicInput input;
    input.raw_body_length = c.raw;
    input.visible_length = c.visible;
    input.first_text_base64 = c.first_text_base64;
    EXPECT_EQ(flag_names(input), c.flags) << c.raw << " " << c.visible;
  }
}

TEST(Heuristics, FlagsReachTheRunThroughTheModel) {
  ModelRun run;
  // The visible text is a tenth of the body at most: extreme tags to text.
  std::string body = "<p>SHOUTING TEXT</p>";
  while (body.size() < 400) body += "<table width=\"100%\"><tr><td></td></tr></table>\n";
  run.process("Subject: s\nContent-Type: text/html\n\n" + body + "\n");
  EXPECT_EQ(run.flag("extreme_tags_to_text"), 1);
  EXPECT_EQ(run.flag("high_caps"), 1);
  EXPECT_EQ(run.flag("medium_caps"), 1);
  EXPECT_EQ(run.flag("html_encoded"), 0);

  run.process("Subject: s\n\nA plain body where nothing is removed at all.\n");
  EXPECT_EQ(run.flags_set(), "");

  run.process(
      "Subject: s\nContent-Type: text/plain\nContent-Transfer-Encoding: base64\n\n"
      "SGVsbG8gdGhlcmUsIHRoaXMgaXMgYSBwbGFpbiBtZXNzYWdlLg==\n");
  EXPECT_EQ(run.flags_set(), "encoded_html");
}

}  // namespace
}  // namespace quarn::testing
