#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filter/fast_phrases.h"
#include "filter/filter_run.h"
#include "filter/rule_engine.h"
#include "filter/spam_detect.h"
#include "tests/filter/rule_test_util.h"

namespace quarn::testing {
namespace {

TEST(MfFastHash, FirstTwoCharactersSignedAndFolded) {
  struct Case {
    std::string text;
    int bucket;
  };
  const Case cases[] = {
      {"fr", (102 + 256 * 114) % 1000},
      {"FR", (102 + 256 * 114) % 1000},
      {"free money", (102 + 256 * 114) % 1000},
      {"f", 102},
      {"", 0},
      {"\xe9t", (-23 + 256 * 116) % 1000},             // 0xE9 is -23
      {"a\xe9", (97 - 256 * 23 < 0 ? -(97 - 256 * 23) : 97 - 256 * 23) % 1000},
      {"\xff\xff", (1 + 256) % 1000},                  // |-1 - 256|
      {"\x80\x80", (128 + 256 * 128) % 1000},
      {"\xc9" "A", (-55 + 256 * 97) % 1000},           // only ASCII letters fold
  };
  for (const Case& c : cases) EXPECT_EQ(mf_fast_hash(c.text), c.bucket) << c.text;
}

class FastScan : public ::testing::Test {
 protected:
  FastScan() = default;

  int add(double score, const std::string& pattern, const std::string& name,
          const std::string& flag = "") {
    const std::int32_t index = flag.empty() ? -1 : run_.flag_index(flag);
    return filter_.phrases.add(score, pattern, name, index, engine_.log());
  }
  void scan(std::string_view text) { filter_.phrases.scan(text, text.size(), run_); }
  const SpamScoreList& scores() { return run_.state().scores; }

  RuleFilter filter_;
  RuleEngine engine_;
  FilterRun run_{engine_, filter_};
  LogCollector log_{engine_};
};

TEST_F(FastScan, RecordsEachPhraseOnce) {
  ASSERT_EQ(add(1.5, "free\\s+money", "freemoney"), 1);
  scan("Get FREE   money now, free money for all, free money!");
  ASSERT_EQ(std::distance(scores().begin(), scores().end()), 1);
  EXPECT_EQ(scores().front().name, "freemoney");
  EXPECT_FLOAT_EQ(scores().front().score, 1.5f);
  EXPECT_TRUE(log_.has("runspamdetect 1.500000 (freemoney)\n"));
}

TEST_F(FastScan, FlagIsSetAndLogged) {
  // Extended patterns ignore blanks: "click here" would read "clickhere".
  add(1, "click\\ here", "clickhere", "CLICKED");
  scan("please click here");
  const std::int32_t flag = filter_.flags.find("clicked");
  EXPECT_EQ(run_.flag(flag), 1);
  EXPECT_TRUE(log_.has("setting expression flag clicked\n"));
}

TEST_F(FastScan, WindowOfAHundredCharactersFromAMatchingPair) {
  add(1, "ab.*yz", "near");
  // "ab" starts a window of 100 characters that just holds "yz".
  scan("ab" + std::string(96, '-') + "yz");
  EXPECT_FALSE(scores().empty());
  run_.state().scores.clear();
  // One character further and the window ends before "z".
  scan("ab" + std::string(97, '-') + "yz");
  EXPECT_TRUE(scores().empty());
}

// A phrase counts as found at the first window of its bucket that holds a
// match, wherever in the window the match starts; the order of the records
// follows those windows.
TEST_F(FastScan, FoundAtTheFirstWindowThatHoldsAMatch) {
  add(1, "zz\\d", "digits");
  add(1, "qqq", "queue");
  auto found = [this] {
    std::vector<std::string> names;
    for (const auto& t : log_.texts) {
      if (t.text.rfind("runspamdetect", 0) == 0) names.push_back(t.text);
    }
    log_.texts.clear();
    run_.state().scores.clear();
    return names;
  };
  scan("zz" + std::string(8, '.') + "qqq" + std::string(10, '.') + "zz1");
  EXPECT_EQ(found(), (std::vector<std::string>{"runspamdetect 1.000000 (digits)\n",
                                               "runspamdetect 1.000000 (queue)\n"}));
  // Out of reach of the first window: "zz1" is found from its own pair.
  scan("zz" + std::string(120, '.') + "qqq zz1");
  EXPECT_EQ(found(), (std::vector<std::string>{"runspamdetect 1.000000 (queue)\n",
                                               "runspamdetect 1.000000 (digits)\n"}));
}

// Against the plain reading of the scan (every window of every bucket
// position, newest phrase first) over random texts: the same phrases, found
// in the same order.
TEST_F(FastScan, SameFindingsAsTryingEveryWindow) {
  const std::vector<std::string> patterns = {"ab+c", "b[ac]{2,5}a", "ca|ac", "\\bab", "a.{3}b",
                                             "cc+", "(ab|ba){2}", "c\\s+a", "bca$", "aab",
                                             "ab.{60,97}c", "ca.*?b{2}"};
  for (std::size_t i = 0; i < patterns.size(); ++i) add(1, patterns[i], "p" + std::to_string(i));
  std::vector<Regex> regexes;
  for (const std::string& pattern : patterns) {
    regexes.push_back(Regex::compile(pattern, kRegexCaseless, true, nullptr));
  }
  MatchScratch scratch;
  std::mt19937 random(7);
  // Mostly filler, so that matches are rare and far apart.
  const std::string alphabet = "abcAB .\n" + std::string(40, '.');
  for (int round = 0; round < 300; ++round) {
    std::string text(20 + random() % 1500, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    std::vector<std::string> expected;
    std::vector<bool> hit(patterns.size(), false);
    for (std::size_t p = 0; p + 1 < text.size(); ++p) {
      const int bucket = mf_fast_hash(text.substr(p, 2));
      const std::string_view window = std::string_view(text).substr(p, kFastWindow);
      for (std::size_t i = patterns.size(); i-- > 0;) {
        if (hit[i] || mf_fast_hash(patterns[i]) != bucket) continue;
        if (regexes[i].match(window, scratch, MatchReach::kWindow) == 0) continue;
        hit[i] = true;
        expected.push_back("runspamdetect 1.000000 (p" + std::to_string(i) + ")\n");
      }
    }
    log_.texts.clear();
    run_.state().scores.clear();
    scan(text);
    std::vector<std::string> found;
    for (const auto& t : log_.texts) found.push_back(t.text);
    ASSERT_EQ(found, expected) << text;
  }
}

TEST_F(FastScan, TriedOnlyAtPositionsOfItsBucket) {
  // The pattern's bucket is that of "\b"; text positions hash by their own
  // two characters, so the phrase is not found in ordinary text.
  add(1, "\\bfree", "boundary");
  scan("totally free stuff");
  EXPECT_TRUE(scores().empty());
  // The scan stops at length - 2: a pair at the very end still counts.
  add(2, "zz", "tail");
  scan("...zz");
  ASSERT_FALSE(scores().empty());
  EXPECT_EQ(scores().front().name, "tail");
}

TEST_F(FastScan, LaterRecordOfTheSameNameWins) {
  add(1, "aa", "same");
  add(3, "bb", "SAME");
  scan("xx bb yy aa");
  ASSERT_EQ(std::distance(scores().begin(), scores().end()), 1);
  EXPECT_FLOAT_EQ(scores().front().score, 1.0f);  // "aa" was found last
}

TEST_F(FastScan, BadPatternStaysButNeverMatches) {
  EXPECT_EQ(add(1, "fr(ee", "broken"), 0);
  EXPECT_TRUE(log_.has("Regular expression failed at 5 in (fr(ee) (missing closing parenthesis)\n"));
  EXPECT_EQ(filter_.phrases.size(), 1u);
  scan("fr(ee fr(ee");
  EXPECT_TRUE(scores().empty());
}

TEST_F(FastScan, HitMarksClearEachScanAndFreeEmpties) {
  add(1, "ab", "ab");
  scan("ab");
  run_.state().scores.clear();
  scan("ab");
  EXPECT_FALSE(scores().empty());
  filter_.phrases.clear();
  EXPECT_EQ(filter_.phrases.size(), 0u);
  run_.state().scores.clear();
  scan("ab");
  EXPECT_TRUE(scores().empty());
}

TEST(RfSpamdetect, RecordsReplacesAndSkipsZero) {
  RuleLog log;
  std::vector<std::string> info;
  log.set_info_logger([&](const std::string& t) { info.push_back(t); });
  SpamScoreList scores;
  EXPECT_EQ(rf_spamdetect(scores, 0, "zero", log), 1);
  EXPECT_TRUE(scores.empty());
  EXPECT_TRUE(info.empty());
  rf_spamdetect(scores, 2, "Caps", log);
  rf_spamdetect(scores, 1, "other", log);
  rf_spamdetect(scores, 0, "CAPS", log);
  ASSERT_EQ(std::distance(scores.begin(), scores.end()), 2);
  EXPECT_EQ(scores.front().name, "other");  // newest first
  EXPECT_FLOAT_EQ(std::next(scores.begin())->score, 0.0f);
  EXPECT_EQ(info, (std::vector<std::string>{"runspamdetect 2.000000 (Caps)\n",
                                            "runspamdetect 1.000000 (other)\n"}));
}

TEST(Cleanstr, KeepsLettersDigitsAndBlanks) {
  EXPECT_EQ(cleanstr("V-i.A 42!\t\xe9_x"), "ViA 42x");
  EXPECT_EQ(cleanstr(""), "");
}

}  // namespace
}  // namespace quarn::testing
