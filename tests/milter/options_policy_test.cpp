#include <gtest/gtest.h>

#include "milter/options.h"
#include "milter/policy.h"
#include "tests/testing/temp_dir.h"

namespace quarn::milter {
namespace {

using quarn::testing::TempDir;

Settings command_line(std::vector<std::string> args, std::string* error = nullptr) {
  args.insert(args.begin(), "quarncrc-milter");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  Settings settings;
  std::string e;
  CommandLine result = parse_command_line(static_cast<int>(argv.size()), argv.data(), settings, e);
  if (error != nullptr) *error = result == CommandLine::kError ? e : "";
  return settings;
}

TEST(MilterOptions, ConfigFileUnderCommandLine) {
  TempDir dir;
  dir.write("quarncrc-milter.conf",
            "# settings\n\nsocket unix:/run/q.sock\nworkdir = /var/lib/quarncrc\n"
            "reject-match\nreject-text \"Go away, spammer\"\nreject-score 12.5\n"
            "on-failure accept\ntimeout 5\n");
  Options o;
  auto error = load_options(
      command_line({"--config", dir.file("quarncrc-milter.conf"), "--timeout", "9",
                    "--socket=inet:8899@127.0.0.1"}),
      o);
  ASSERT_FALSE(error) << *error;
  EXPECT_EQ(o.socket, "inet:8899@127.0.0.1");  // the command line wins
  EXPECT_EQ(o.timeout, 9);
  EXPECT_EQ(o.workdir, "/var/lib/quarncrc");
  EXPECT_TRUE(o.reject_match);
  EXPECT_EQ(o.reject_text, "Go away, spammer");
  EXPECT_DOUBLE_EQ(o.reject_score, 12.5);
  EXPECT_EQ(o.on_failure, FailureAction::kAccept);
  EXPECT_EQ(o.engines, 1);
}

TEST(MilterOptions, BadSettingsAreRefusedWithTheirReason) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string file;
    const char* reason;
  } cases[] = {
      {{"--socket", "tcp:1"}, "", "invalid value for socket"},
      {{"--engines", "0"}, "", "invalid value for engines"},
      {{"--on-failure", "drop"}, "", "invalid value for on-failure"},
      {{"--timeout"}, "", "--timeout needs a value"},
      {{"--bogus", "1"}, "", "unknown setting \"bogus\""},
      {{"--workdir", "/w"}, "", "no socket given"},
      {{"--socket", "unix:/s"}, "", "no working directory given"},
      {{}, "socket unix:/s\nworkdir /w\ntimeout soon\n", ":3: invalid value for timeout"},
      {{}, "socket unix:/s\nreject-text \"\"\n", ":2: invalid value for reject-text"},
      {{}, "socket unix:/s\nconfig /x\n", "config cannot be set here"},
  };
  for (const Case& c : cases) {
    std::string error;
    std::vector<std::string> args = c.args;
    if (!c.file.empty()) {
      dir.write("bad.conf", c.file);
      args.insert(args.end(), {"--config", dir.file("bad.conf")});
    }
    Settings settings = command_line(args, &error);
    if (error.empty()) {
      Options o;
      auto e = load_options(settings, o);
      error = e ? *e : "";
    }
    EXPECT_NE(error.find(c.reason), std::string::npos) << error << " / wanted " << c.reason;
  }
}

TEST(MilterPolicy, RejectBeforeHoldBeforeTag) {
  Options tag_only;
  Options strict;
  strict.reject_match = true;
  strict.reject_score = 10;
  strict.hold_score = 5;
  struct Case {
    bool match;
    double total;
    const Options& options;
    Verdict verdict;
  } cases[] = {
      {true, 50, tag_only, Verdict::kTag},   // tag and accept by default
      {true, 0, strict, Verdict::kReject},   // a match alone
      {false, 10, strict, Verdict::kReject}, // the reject score is reached
      {false, 9.9, strict, Verdict::kHold},
      {false, 5, strict, Verdict::kHold},
      {false, 4.99, strict, Verdict::kTag},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decide(Judgement{c.match, c.total}, c.options), c.verdict)
        << c.match << " " << c.total;
  }
}

}  // namespace
}  // namespace quarn::milter
