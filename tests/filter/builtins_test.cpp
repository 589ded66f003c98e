#include <gtest/gtest.h>

#include <random>
#include <string>

#include "filter/builtins.h"
#include "filter/filter_run.h"
#include "filter/rule_compiler.h"
#include "filter/rule_engine.h"
#include "tests/filter/rule_test_util.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

TEST(BuiltinTable, RowsInTheirFixedOrder) {
  const char* names[] = {
      "constant", "rexp", "rexp_case", "inpath", "match", "strcmp", "size", "spawn",
      "matchall", "matchone", "isin", "isflag", "exists", "isbinary", "isbinaryn", "ishtml",
      "isencodedtext", "isencodedhtml", "isencodedurl", "isuuencoded", "isbase64", "isimage",
      "islocal", "lines", "allmod", "get", "forward_cc", "replace", "report", "head_len",
      "spamdetect", "isinc", "issimilar", "rexpstore", "rexp_fast", "rexp_fast_flag",
      "evalflags"};
  const int args[] = {1, 2, 2, 1, 2, 2, 0, 1, 2, 2, 2, 1, 1, 0, 1, 0, 0, 0, 0,
                      0, 0, 0, 0, 0, 1, 1, 1, 3, 2, 1, 2, 2, 2, 3, 3, 4, 1};
  const auto& table = builtin_functions();
  ASSERT_EQ(table.size(), 37u);
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_STREQ(table[i].name, names[i]);
    EXPECT_EQ(table[i].args, args[i]) << names[i];
    EXPECT_EQ(find_function(names[i]), static_cast<std::int32_t>(i));
  }
  EXPECT_EQ(find_function("Rexp"), -1);
  EXPECT_EQ(find_function(""), -1);
}

TEST(Wildmat, WholeTextWildcards) {
  struct Case {
    const char* text;
    const char* pattern;
    bool match;
  };
  const Case cases[] = {
      {"abc", "abc", true},        {"abc", "ab", false},        {"abc", "a*", true},
      {"abc", "*c", true},         {"abc", "a?c", true},        {"ac", "a?c", false},
      {"", "*", true},             {"", "", true},              {"a", "", false},
      {"abc", "a**c", true},       {"aXbXc", "*x*c", false},    {"axbxc", "*x*c", true},
      {"b", "[abc]", true},        {"d", "[abc]", false},       {"m", "[a-z]", true},
      {"m", "[^a-z]", false},      {"]", "[]a]", true},         {"-", "[-a]", true},
      {"]", "[^]a]", false},       {"b", "[^]a]", true},        {"*", "\\*", true},
      {"x", "\\*", false},         {"a?", "a\\?", true},        {"ab", "a\\?", false},
      {"a", "[a", false},          {"mississippi", "*sip*", true},
      {"a\\", "a\\", true},        {"\xe9t\xe9", "?t?", true},  {"\xe9", "[\xe0-\xef]", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wildcard_match(c.text, c.pattern), c.match) << c.text << " ~ " << c.pattern;
  }
}

TEST(MatchList, LastMatchingPatternDecides) {
  struct Case {
    const char* text;
    const char* list;
    int result;
  };
  const Case cases[] = {
      {"joe@example.com", "*@example.com,!boss@example.com", 1},
      {"boss@example.com", "*@example.com,!boss@example.com", 0},
      {"BOSS@Example.COM", "*@example.com,!boss@example.com", 0},
      {"boss@example.com", "!boss@example.com,*@example.com", 1},
      {"other@else.org", "*@example.com,!boss@example.com", 0},
      {"x@example.com", "@*@example.com", 0},
      {"x@example.com", "*,!@x@example.com", 0},
      {"anything", "*", 1},
      {"anything", "", 0},
      {"a", ",,a,,", 1},
      {"", "*", 1},
      {"abc", "A?C", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(match_list(c.text, c.list), c.result) << c.text << " in " << c.list;
  }
  // The text is cut to 990 characters before matching.
  const std::string long_text = std::string(990, 'a') + "b";
  EXPECT_EQ(match_list(long_text, "*b"), 0);
  EXPECT_EQ(match_list(long_text, "a*a"), 1);
  // A pattern is cut to 100 characters.
  EXPECT_EQ(match_list(std::string(100, 'a'), std::string(100, 'a') + "zzz"), 1);
}

TEST(MatchItems, ClassifiesTheItemsOfAValue) {
  struct Case {
    const char* value;
    const char* list;
    ListMatch outcome;
  };
  const Case cases[] = {
      {"", "*@a.com", ListMatch::kAll},
      {"x@a.com", "*@a.com", ListMatch::kAll},
      {"x@a.com,y@a.com", "*@a.com", ListMatch::kAll},
      {"x@a.com|y@b.com", "*@a.com", ListMatch::kSome},
      {"x@c.com!y@b.com", "*@a.com", ListMatch::kNone},
      {"x@a.com,", "*@a.com", ListMatch::kSome},  // the empty item counts
      {",", "*", ListMatch::kAll},
      {"x@a.com, y@a.com", "*@a.com", ListMatch::kAll},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(match_items(c.value, c.list), c.outcome) << c.value;
  }
}

TEST(Issimilar, RunsOfFirstLettersOrDomains) {
  struct Case {
    const char* value;
    const char* count;
    int result;
  };
  const Case cases[] = {
      {"anna@x.com, alan@y.com, al@z.com", "3", 1},
      {"anna@x.com, bob@y.com, al@z.com", "3", 0},
      {"a@mail.com, b@mx.org, c@mo.net", "3", 1},
      {"a@mail.com, Joe, b@mx.org Bob, c@mo.net", "3", 1},
      {"a@mail.com b@xx.org c@mo.net", "3", 0},
      {"<ab@q.com>;<ac@r.com>", "2", 1},
      {"a a a a a", "0", 1},  // below 1: five
      {"a a a a", "0", 0},
      {"", "1", 0},
      {"x", "1", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(issimilar_text(c.value, c.count), c.result) << c.value << " / " << c.count;
  }
}

TEST(Wildrep, CapturesAndReplacement) {
  struct Case {
    const char* value;
    const char* pattern;
    const char* replacement;
    std::optional<std::string> result;
  };
  const Case cases[] = {
      {"Re: hello", "re:*", "%1", " hello"},
      {"Re: hello", "RE:*", "[%1]", "[ hello]"},
      {"Fwd: Re: hi", "*re:*", "%1|%2", "Fwd: | hi"},
      {"abcXdefYghi", "abc*def*ghi", "%1-%2", "X-Y"},
      {"abcXdefYghi", "*def*", "%1/%2", "abcX/Yghi"},
      {"hello world", "hello", "bye", "bye"},
      {"say hello", "hello", "bye", std::nullopt},
      {"say hello", "*hello", "<%1>", "<say >"},
      {"hello", "*hello", "<%1>", "<%1>"},  // no capture before the start
      {"ahello", "*hello", "<%1>", "<a>"},
      {"abc", "*", "x", std::nullopt},
      {"abc", "", "x", std::nullopt},
      {"abc", "abc*", "%1%2%0%x%", "%2%0%x%"},
      {"abc", "a*c", "100%1", "100b"},
      {"abc", "a*d", "x", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wildrep(c.value, c.pattern, c.replacement), c.result)
        << c.value << " / " << c.pattern;
  }
}

TEST(Wildrep, OutputStopsPast500Characters) {
  const std::string value = "x" + std::string(400, 'a');
  // 400 + 400 > 500: the third copy is never added.
  EXPECT_EQ(wildrep(value, "x*", "%1%1%1")->size(), 800u);
  // A capture inserted near the stop is cut to the 999 characters the
  // result buffer holds.
  const std::string big = "x" + std::string(998, 'b');
  EXPECT_EQ(wildrep(big, "x*", "yy%1")->size(), 999u);
  // Text after the stop is not added.
  EXPECT_EQ(wildrep("x", "x", std::string(600, 'r'))->size(), 501u);
  // At most 13 pieces of the pattern are used.
  EXPECT_EQ(wildrep("abcdefghijklmn", "a*b*c*d*e*f*g*h*i*j*k*l*m*zz", "ok"), "ok");
}

TEST(TextTests, IsinAndIsinc) {
  EXPECT_EQ(isin_text("Totally free", "FREE"), 1);
  EXPECT_EQ(isin_text("Totally free", "freedom"), 0);
  EXPECT_EQ(isin_text("anything", ""), 1);
  EXPECT_EQ(isinc_text("Buy VIA now", "v-i-a"), 1);
  EXPECT_EQ(isinc_text("B.u.y V_I_A", "buy via"), 1);
  EXPECT_EQ(isinc_text("Buy VIA now", "v-x-a"), 0);
  EXPECT_EQ(isinc_text("a.a.a.a.b", "AAAB"), 1);  // a partial match gives way to a later one
  EXPECT_EQ(isinc_text("abaabab", "abab"), 1);
  EXPECT_EQ(isinc_text("abaab", "abab"), 0);
  EXPECT_EQ(isinc_text("", "--"), 1);             // nothing kept of the text: found
  // Long stretches: whole runs of kept characters, and the characters next
  // to each kept range, which are dropped.
  const std::string prose = "THE QUICK BROWN FOX JUMPS over the lazy dog 0123456789 Again";
  EXPECT_EQ(isinc_text(prose, "brown fox jumps over the lazy dog 0123456789 a"), 1);
  EXPECT_EQ(isinc_text(prose, "brown fox jumps  over"), 0);
  EXPECT_EQ(isinc_text("AB@[`{/:\x80\xff\t\nCD" + prose, "abcdthe"), 1);
  EXPECT_EQ(shown_value("a\r\nb"), "a..b");
  EXPECT_EQ(shown_value(std::string(120, 'z')).size(), 99u);
}

// isinc over random bytes against a plain reading of its rule: a needle cut
// from the cleaned text is always found, any other as often as a search of
// the cleaned text finds it.
TEST(TextTests, IsincAgreesWithTheCleanedTextOnRandomBytes) {
  auto cleaned = [](std::string_view text) {
    std::string out;
    for (const char c : text) {
      if (c >= 'A' && c <= 'Z') out.push_back(static_cast<char>(c | 0x20));
      if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ') out.push_back(c);
    }
    return out;
  };
  std::mt19937 random(4);
  const std::string alphabet = "aZ9 \n.-@[`{\x80\xff";
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const std::size_t size = random() % 200;
    for (std::size_t i = 0; i < size; ++i) {
      text.push_back(round % 2 == 0 ? static_cast<char>(1 + random() % 255)
                                    : alphabet[random() % alphabet.size()]);
    }
    const std::string clean = cleaned(text);
    if (!clean.empty()) {
      const std::size_t from = random() % clean.size();
      EXPECT_EQ(isinc_text(text, clean.substr(from, 1 + random() % 20)), 1) << round;
    }
    const std::string other = "a" + std::to_string(random() % 1000);
    EXPECT_EQ(isinc_text(text, other), clean.find(other) != std::string::npos ? 1 : 0) << round;
  }
}

// Compiles rules and runs the first expression of each line over a message
// whose header values a test sets by name.
class RunHalves : public ::testing::Test {
 protected:
  void compile(const std::string& text) {
    dir_.write("filter.dat", text);
    filter_ = RuleCompiler(engine_.log()).compile(dir_.file("filter.dat"));
    ASSERT_TRUE(filter_);
    run_ = std::make_unique<FilterRun>(engine_, *filter_);
  }
  void set(const std::string& header, std::string value) {
    ASSERT_TRUE(filter_);
    const std::int32_t index = filter_->headers.find(header);
    ASSERT_GE(index, 0) << header;
    message_.set(index, std::move(value));
  }
  std::int32_t run(std::size_t line, std::size_t expr = 0) {
    if (!filter_) return -1;
    RunContext context{*run_, message_};
    return run_expr(context, filter_->lines.at(line).exprs.at(expr));
  }

  TempDir dir_;
  RuleEngine engine_;
  LogCollector log_{engine_};
  FakeMessage message_;
  std::unique_ptr<RuleFilter> filter_;
  std::unique_ptr<FilterRun> run_;  // one run over the compiled filter
};

TEST_F(RunHalves, RegularExpressions) {
  compile(
      "if (rexp(subject, \"^re: \\s+ hello\")) accept a\n"
      "if (rexp_case(subject, ^Re:)) accept b\n"
      "if (rexp(body, \"^line2$\")) accept c\n"
      "if (rexp(x-none, .)) accept d\n");
  set("subject", "RE:hello");
  set("body", "line1\nline2\nline3");
  EXPECT_EQ(run(0), 0);  // extended: the blanks of the pattern are ignored, \s+ is not
  set("subject", "re: hello");
  EXPECT_EQ(run(0), 1);
  EXPECT_EQ(run(1), 0);
  set("subject", "Re: x");
  EXPECT_EQ(run(1), 1);
  EXPECT_EQ(run(2), 1);  // multiline
  EXPECT_EQ(run(3), 0);  // a missing header is an empty value
  EXPECT_GE(engine_.timings().body_ms, 0.0);
}

TEST_F(RunHalves, JitStackShortageFallsBackToTheInterpreter) {
  compile("if (rexp(body, \"^(?:(a)|b)*$\")) accept a\n");
  set("body", std::string(100000, 'a') + "b");
  EXPECT_EQ(run(0), 1);
}

TEST_F(RunHalves, RexpstoreCountsAcrossMessages) {
  compile("if (rexpstore(subject, win.*, s)) accept a\nif (rexpstore(subject, win.*, t)) accept b\n");
  for (int i = 1; i <= 3; ++i) {
    set("subject", "you win big");
    EXPECT_EQ(run(0), i);
  }
  EXPECT_EQ(run(1), 1);  // another store name
  set("subject", "nothing here");
  EXPECT_EQ(run(0), 0);
  set("subject", "win" + std::string(80, '!'));
  EXPECT_EQ(run(0), 1);
  set("subject", "win" + std::string(47, '!') + "???");  // the same first 50 characters
  EXPECT_EQ(run(0), 2);
  set("subject", "win" + std::string(46, '!') + "?");
  EXPECT_EQ(run(0), 1);
}

TEST(RexpStore, DropsTheOldestAdditionWhenFull) {
  RexpStore store(3);
  EXPECT_EQ(store.record("s", "a"), 1);
  EXPECT_EQ(store.record("s", "b"), 1);
  EXPECT_EQ(store.record("s", "c"), 1);
  EXPECT_EQ(store.record("s", "a"), 2);  // a hit does not move the entry
  EXPECT_EQ(store.record("s", "d"), 1);  // drops a, the oldest addition
  EXPECT_EQ(store.size(), 3u);
  EXPECT_EQ(store.record("s", "a"), 1);
  EXPECT_EQ(store.record("s", "c"), 2);
}

TEST_F(RunHalves, TextAndListFunctions) {
  compile(
      "if (isin(subject, FREE)) accept a\n"
      "if (isinc(subject, v-i-a)) accept b\n"
      "if (strcmp(subject, Hello)) accept c\n"
      "if (match(from, \"*@example.com,!boss@example.com\")) accept d\n"
      "if (matchall(to, *@example.com)) accept e\n"
      "if (matchone(to, *@example.com)) accept f\n"
      "if (allmod(cc)) accept g\n"
      "if (issimilar(to, 3)) accept h\n"
      "if (exists(subject)) accept i\n"
      "if (head_len(subject)) accept j\n");
  EXPECT_EQ(run(4), 1);  // no To: all-matched
  EXPECT_EQ(run(5), 1);
  EXPECT_EQ(run(6), 1);
  EXPECT_EQ(run(8), 0);
  set("subject", "Totally free");
  set("from", "boss@example.com");
  set("to", "ann@example.com, al@other.org, amy@x.net");
  EXPECT_EQ(run(0), 1);
  EXPECT_EQ(run(1), 0);
  EXPECT_EQ(run(2), 0);
  EXPECT_EQ(run(3), 0);
  EXPECT_EQ(run(4), 0);
  EXPECT_EQ(run(5), 1);
  EXPECT_EQ(run(7), 1);
  EXPECT_EQ(run(8), 1);
  EXPECT_EQ(run(9), 12);
  set("subject", "Buy VIA now");
  EXPECT_EQ(run(1), 1);
  set("subject", "Hello");
  EXPECT_EQ(run(2), 1);
}

TEST_F(RunHalves, ReplaceRewritesTheHeader) {
  compile("if (replace(subject, re:*, %1)) accept a\nif (replace(subject, zz*, x)) accept b\n");
  ASSERT_TRUE(filter_);
  const std::int32_t subject = filter_->headers.find("subject");
  set("subject", "Re: hello");
  EXPECT_EQ(run(0), 1);
  EXPECT_EQ(message_.values[subject], " hello");
  EXPECT_EQ(run(1), 1);  // no match: 1 as well, header untouched
  EXPECT_EQ(message_.values[subject], " hello");
  EXPECT_EQ(message_.replaced.size(), 1u);
}

TEST_F(RunHalves, FlagsScoresAndCopies) {
  compile(
      "if (isflag(Seen)) accept a\n"
      "if (get(level)) accept b\n"
      "call spamdetect(2.5, Money)\n"
      "call spamdetect(0, Money)\n"
      "call forward_cc(copy@example.com)\n"
      "call forward_cc(\"<boxed@example.com>\")\n"
      "if (evalflags(\"SEEN && !LEVEL\")) accept c\n"
      "if (size() > 5000) accept d\n"
      "call rexp_fast(1, ab, ab)\n");
  ASSERT_TRUE(filter_);
  run_->set_flag(filter_->flags.find("seen"), 1);
  run_->set_flag(filter_->flags.find("level"), 7);
  EXPECT_EQ(run(0), 1);
  EXPECT_EQ(run(1), 7);
  EXPECT_EQ(run(6), 0);
  run_->set_flag(filter_->flags.find("level"), 0);
  EXPECT_EQ(run(6), 1);

  EXPECT_EQ(run(2), 1);
  ASSERT_FALSE(run_->state().scores.empty());
  EXPECT_FLOAT_EQ(run_->state().scores.front().score, 2.5f);
  EXPECT_TRUE(log_.has("runspamdetect 2.500000 (Money)\n"));
  EXPECT_EQ(run(3), 1);
  EXPECT_FLOAT_EQ(run_->state().scores.front().score, 0.0f);

  EXPECT_EQ(run(4), 1);
  EXPECT_EQ(run(5), 1);
  EXPECT_EQ(run_->state().forward_cc,
            (std::forward_list<std::string>{"<boxed@example.com>", "<copy@example.com>"}));
  EXPECT_TRUE(log_.has("mfilter: Forwarding to (<copy@example.com>)\n"));

  run_->state().message_length = 6000;
  EXPECT_EQ(run(7, 0), 6000);
  EXPECT_EQ(run(7, 1), 5000);
  EXPECT_EQ(run(8), 0);
  // The phrase it registered is scanned through the current filter.
  run_->state().scores.clear();
  EXPECT_EQ(run_->fast_scan("xx ab", 5), 1);
  ASSERT_FALSE(run_->state().scores.empty());
  EXPECT_EQ(run_->state().scores.front().name, "ab");
}

TEST_F(RunHalves, MessageMarks) {
  compile(
      "if (isbinary()) accept a\n"
      "if (isbinaryn(5)) accept b\n"
      "if (lines()) accept c\n"
      "if (ishtml()) accept d\n"
      "if (islocal()) accept e\n");
  message_.message_marks.isencoded = 1;
  message_.message_marks.encoded_lines = 19;
  message_.message_marks.line_count = 42;
  message_.message_marks.ishtml = 1;
  EXPECT_EQ(run(0), 0);
  EXPECT_EQ(run(1), 1);
  message_.message_marks.encoded_lines = 20;
  EXPECT_EQ(run(0), 1);
  EXPECT_EQ(run(2), 42);
  EXPECT_EQ(run(3), 1);
  EXPECT_EQ(run(4), 0);
}

TEST_F(RunHalves, TraceTexts) {
  compile(
      "if (matchone(to, \"a*,b*\")) accept a\n"
      "if (rexp(subject, x)) accept b\n"
      "if (isflag(f)) accept c\n"
      "if (42) accept d\n"
      "if (replace(subject, a*, b%1)) accept e\n");
  set("to", "line1\r\nline2");
  set("subject", "abc");
  engine_.log().set_trace(true);
  run(0);
  run(1);
  run(2);
  run(3);
  run(4);
  EXPECT_TRUE(log_.has("rrun: exp: matchany(line1..line2,a*,b*)\n"));
  EXPECT_TRUE(log_.has("rrun: exp: rexp(abc,x)\n"));
  EXPECT_TRUE(log_.has("rrun: exp: ifflag(0)\n"));
  EXPECT_TRUE(log_.has("rrun: exp: constant(42)\n"));
  EXPECT_TRUE(log_.has("rrun: exp: replace(abc,a*,b%1)\n"));
  EXPECT_TRUE(log_.has("replace matched result (bbc)\n"));
}

}  // namespace
}  // namespace quarn::testing
