// The heuristic flags and the spam-score total.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/rule_engine.h"
#include "message/heuristics.h"
#include "message/message_model.h"
#include "message/spam_detect.h"
#include "tests/filter/rule_test_util.h"
#include "tests/message/model_fixture.h"

namespace quarn::testing {
namespace {

std::string flag_names(const HeuristicInput& input) {
  const HeuristicFlags flags = rf_heuristic_flags(input);
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

SpamScoreList scores(std::initializer_list<SpamScore> entries) {
  SpamScoreList list;
  std::vector<SpamScore> items(entries);
  for (auto it = items.rbegin(); it != items.rend(); ++it) list.push_front(*it);
  return list;  // in the order given (head first)
}

TEST(SpamTotal, StarsNamesAndThreshold) {
  const std::string n40(40, 'n');
  const std::string m70(70, 'm');
  struct Case {
    const char* what;
    SpamScoreList match;
    SpamScoreList run;
    std::string names;
    std::string header;
  };
  Case cases[] = {
      {"nothing", {}, {}, "", ""},
      {"exactly one", {}, scores({{0.5f, "a"}, {0.5f, "b"}}), "a,b", ""},
      {"one and a half", {}, scores({{1.5f, "rule"}}), "rule",
       "X-SpamDetect: *: 1.500000 rule"},
      {"forty-five", {}, scores({{45.0f, "big"}}), "big",
       "X-SpamDetect: " + std::string(30, '*') + ": 45.000000 big"},
      {"match list first", scores({{2.0f, "crc"}}), scores({{1.0f, "new"}, {0.25f, "old"}}),
       "crc,new,old", "X-SpamDetect: ***: 3.250000 crc,new,old"},
      {"zero scores are passed over", {}, scores({{0.0f, "zero"}, {2.0f, "two"}}), "two",
       "X-SpamDetect: **: 2.000000 two"},
      {"negative scores count", {}, scores({{3.0f, "up"}, {-1.5f, "down"}}), "up,down",
       "X-SpamDetect: *: 1.500000 up,down"},
      {"below one after negatives", {}, scores({{1.5f, "up"}, {-1.0f, "down"}}), "up,down", ""},
      // Names stop once their lengths reach 100; their scores still count.
      {"names stop at 100", {}, scores({{1.0f, n40}, {1.0f, n40}, {1.0f, n40}, {1.0f, "late"}}),
       n40 + "," + n40 + "," + n40, "X-SpamDetect: ****: 4.000000 " + n40 + "," + n40 + "," + n40},
      {"a long name is listed whole", {}, scores({{1.0f, "x"}, {1.0f, m70}, {1.0f, "y"}}),
       "x," + m70 + ",y", "X-SpamDetect: ***: 3.000000 x," + m70 + ",y"},
  };
  for (Case& c : cases) {
    const SpamTotal total = rf_spamdetect_total(c.match.empty() ? nullptr : &c.match, c.run);
    EXPECT_EQ(total.names, c.names) << c.what;
    EXPECT_EQ(total.header, c.header) << c.what;
  }
}

TEST(SpamTotal, LongNamesAreCutToTheBuffersAndTheHeader) {
  const std::string huge(1500, 'h');
  const SpamScoreList run = scores({{2.0f, huge}});
  const SpamTotal total = rf_spamdetect_total(nullptr, run);
  EXPECT_EQ(total.names, std::string(999, 'h'));
  EXPECT_EQ(total.header, "X-SpamDetect: **: 2.000000 " + std::string(400, 'h'));
}

TEST(SpamDetectDo, AddsTheHeaderRecordsTheResultAndLogs) {
  ModelRun run;
  LogCollector log(run.engine);
  run.process("Subject: s\n\nbody\n");
  run.engine.rf_spamdetect(1.0f, "first");
  run.engine.rf_spamdetect(0.75f, "second");
  const SpamScoreList match = scores({{0.5f, "crc_match"}});
  EXPECT_FLOAT_EQ(rf_spamdetect_do(run.engine, &match), 2.25f);
  ASSERT_EQ(run.model().added_headers().size(), 1u);
  EXPECT_EQ(run.model().added_headers()[0],
            "X-SpamDetect: **: 2.250000 crc_match,second,first");
  EXPECT_EQ(run.engine.spamdetect_result(), "**: 2.250000 crc_match,second,first");
  EXPECT_TRUE(log.has("spam: 2.250000 crc_match,second,first\n"));

  // A total of 1 or less adds nothing and keeps the last result, but logs.
  run.model().rf_hdrs_free();
  run.process("Subject: s\n\nbody\n");
  run.engine.rf_spamdetect(1.0f, "only");
  EXPECT_FLOAT_EQ(rf_spamdetect_do(run.engine, nullptr), 1.0f);
  EXPECT_TRUE(run.model().added_headers().empty());
  EXPECT_EQ(run.engine.spamdetect_result(), "**: 2.250000 crc_match,second,first");
  EXPECT_TRUE(log.has("spam: 1.000000 only\n"));
}

TEST(SpamDetectDo, ResultIsCutAndTheHookGetsTheLine) {
  ModelRun run;
  std::vector<std::string> hooked;
  run.model().mfilter_set_hdrs_add([&hooked](std::string_view line) { hooked.emplace_back(line); });
  run.process("Subject: s\n\nbody\n");
  run.engine.rf_spamdetect(40.0f, std::string(300, 'n'));
  rf_spamdetect_do(run.engine, nullptr);
  ASSERT_EQ(hooked.size(), 1u);
  EXPECT_TRUE(run.model().added_headers().empty());
  EXPECT_EQ(hooked[0], "X-SpamDetect: " + std::string(30, '*') + ": 40.000000 " +
                           std::string(300, 'n'));
  EXPECT_EQ(run.engine.spamdetect_result().size(), kSpamResultLimit);
  EXPECT_EQ(run.engine.spamdetect_result(), hooked[0].substr(14, kSpamResultLimit));
}

}  // namespace
}  // namespace quarn::testing
