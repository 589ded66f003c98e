// The spam-score total and its header.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "filter/rule_engine.h"
#include "filter/spam_detect.h"
#include "tests/filter/model_run.h"
#include "tests/filter/rule_test_util.h"

namespace quarn::testing {
namespace {

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
    const SpamTotal total = spamdetect_total(c.match.empty() ? nullptr : &c.match, c.run);
    EXPECT_EQ(total.names, c.names) << c.what;
    EXPECT_EQ(total.header, c.header) << c.what;
  }
}

TEST(SpamTotal, LongNamesAreCutToTheBuffersAndTheHeader) {
  const std::string huge(1500, 'h');
  const SpamScoreList run = scores({{2.0f, huge}});
  const SpamTotal total = spamdetect_total(nullptr, run);
  EXPECT_EQ(total.names, std::string(999, 'h'));
  EXPECT_EQ(total.header, "X-SpamDetect: **: 2.000000 " + std::string(400, 'h'));
}

TEST(SpamDetectDo, AddsTheHeaderRecordsTheResultAndLogs) {
  EngineModelRun run;
  LogCollector log(run.engine);
  run.process("Subject: s\n\nbody\n");
  run.filter_run.add_score(1.0f, "first");
  run.filter_run.add_score(0.75f, "second");
  const SpamScoreList match = scores({{0.5f, "crc_match"}});
  EXPECT_FLOAT_EQ(rf_spamdetect_do(run.filter_run, &match), 2.25f);
  ASSERT_EQ(run.model().added_headers().size(), 1u);
  EXPECT_EQ(run.model().added_headers()[0],
            "X-SpamDetect: **: 2.250000 crc_match,second,first");
  EXPECT_EQ(run.engine.spamdetect_result(), "**: 2.250000 crc_match,second,first");
  EXPECT_TRUE(log.has("spam: 2.250000 crc_match,second,first\n"));

  // A total of 1 or less adds nothing and keeps the last result, but logs.
  rf_spamdetect_free(run.filter_run);
  run.model().clear();
  run.process("Subject: s\n\nbody\n");
  run.filter_run.add_score(1.0f, "only");
  EXPECT_FLOAT_EQ(rf_spamdetect_do(run.filter_run, nullptr), 1.0f);
  EXPECT_TRUE(run.model().added_headers().empty());
  EXPECT_EQ(run.engine.spamdetect_result(), "**: 2.250000 crc_match,second,first");
  EXPECT_TRUE(log.has("spam: 1.000000 only\n"));
}

TEST(SpamDetectDo, ResultIsCutAndTheSinkGetsTheLine) {
  EngineModelRun run;
  std::vector<std::string> hooked;
  RunSinks sinks;
  sinks.add_header = [&hooked](std::string_view line) { hooked.emplace_back(line); };
  FilterRun with_sink(run.engine, run.filter, sinks);
  build_model(with_sink, "Subject: s\n\nbody\n", run.decoded);
  with_sink.add_score(40.0f, std::string(300, 'n'));
  rf_spamdetect_do(with_sink, nullptr);
  ASSERT_EQ(hooked.size(), 1u);
  EXPECT_TRUE(run.model().added_headers().empty());
  EXPECT_EQ(hooked[0], "X-SpamDetect: " + std::string(30, '*') + ": 40.000000 " +
                           std::string(300, 'n'));
  EXPECT_EQ(run.engine.spamdetect_result().size(), kSpamResultLimit);
  EXPECT_EQ(run.engine.spamdetect_result(), hooked[0].substr(14, kSpamResultLimit));
}

}  // namespace
}  // namespace quarn::testing
