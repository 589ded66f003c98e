// The filter seam (do_mfilter and its callbacks) and spawn() with real
// child processes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "filter/mfilter.h"
#include "filter/rules_origin.h"
#include "filter/spawn.h"
#include "message/message_model.h"
#include "support/log.h"
#include "tests/filter/run_harness.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

using Clock = std::chrono::steady_clock;

class MfilterTest : public ::testing::Test {
 protected:
  MfilterTest() : cwd_(dir_.path()) {
    log_.open(dir_.file("test.log"));
    log_.set_debug_hook(true);
  }
  std::string log_text() {
    log_.flush();
    return dir_.read("test.log");
  }
  bool logged(const std::string& text) { return log_text().find(text) != std::string::npos; }

  int scan(std::string message, std::string_view envelope, MfilterOptions options = {}) {
    message.push_back('\0');
    std::vector<char> work(message.begin(), message.end());
    options.add_header = [this](std::string_view line) { added_.emplace_back(line); };
    return do_mfilter(service_, log_, message, work, static_cast<std::int32_t>(message.size() - 1),
                      envelope, nullptr, options);
  }

  TempDir dir_;
  ScopedCwd cwd_;
  Log log_;
  FilterService service_{log_};
  std::vector<std::string> added_;
};

TEST_F(MfilterTest, WithoutFilterDatTheFilterNeverRuns) {
  for (int i = 0; i < 2; ++i) EXPECT_EQ(scan("m", kTwoRecipients), 0);
  const std::string text = log_text();
  std::size_t count = 0;
  for (std::size_t at = 0; (at = text.find(":Info: do_mfilter - No current filter loaded\n", at)) !=
                           std::string::npos;
       ++at) {
    ++count;
  }
  EXPECT_EQ(count, 2u);
  EXPECT_TRUE(logged(":Info: compile_mfilter - Compile failed (filter.dat probably doesn't exist)\n"));
}

TEST_F(MfilterTest, CompilesOnceAndKeepsTheFilterInService) {
  dir_.write("filter.dat", "call spamdetect(3.5, rule)\nredirect_cc copy@y.com\n");
  EXPECT_EQ(scan("m", kTwoRecipients), 1);
  RuleFilter* first = service_.in_service();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(added_, (std::vector<std::string>{"X-SpamDetect: ***: 3.500000 rule"}));
  EXPECT_TRUE(logged(":Info: Attempted to add forward to message (<copy@y.com>)\n"));
  EXPECT_TRUE(logged(":dbg: do_mfilter - Calling rfilter_run(0,"));

  // The filter in service runs again; filter.dat is not read again.
  dir_.write("filter.dat", "reject everything\n");
  added_.clear();
  EXPECT_EQ(scan("m", kTwoRecipients), 1);
  EXPECT_EQ(service_.in_service(), first);
  EXPECT_EQ(added_, (std::vector<std::string>{"X-SpamDetect: ***: 3.500000 rule"}));
  const std::string text = log_text();
  const std::size_t once = text.find("No current filter loaded");
  EXPECT_EQ(text.find("No current filter loaded", once + 1), std::string::npos);
}

TEST_F(MfilterTest, ARejectingFilterStillRuns) {
  dir_.write("filter.dat", "call spamdetect(9, rule)\nreject everything\n");
  EXPECT_EQ(scan("m", kTwoRecipients), 1);
  EXPECT_TRUE(added_.empty());
  EXPECT_TRUE(logged(":dbg: Bounced mfilter b@x.com line 2: everything\n"));
}

TEST_F(MfilterTest, EnvelopeWithoutRecipientsCountsAsRun) {
  dir_.write("filter.dat", "call spamdetect(3, rule)\n");
  EXPECT_EQ(scan("m", "From: <s@y.com>\nIp: 1.2.3.4\n\n"), 1);
  EXPECT_TRUE(added_.empty());
  EXPECT_TRUE(logged(":dbg: rrun: No 'To:' addresses specified, cannot run filter\n"));
}

TEST_F(MfilterTest, BusyFilterMutexTimesOut) {
  dir_.write("filter.dat", "accept x\n");
  std::atomic<bool> held = false;
  std::atomic<bool> done = false;
  std::thread holder([&] {
    MutexHold hold(&service_.mutex(), kFilterScanWaitMs);
    held = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  MfilterOptions options;
  options.mutex_wait_ms = 100;
  const auto start = Clock::now();
  EXPECT_EQ(scan("m", kTwoRecipients, options), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  done = true;
  holder.join();
  EXPECT_TRUE(logged(":Err: do_mfilter - Failed to obtain mutex for 15 seconds\n"));
  EXPECT_EQ(scan("m", kTwoRecipients), 1);
}

TEST_F(MfilterTest, MsgwrapCutsAt999Characters) {
  msgwrap(log_, "%s\n", std::string(1500, 'w').c_str());
  EXPECT_TRUE(logged(":Info: " + std::string(999, 'w')));
  EXPECT_FALSE(logged(std::string(1000, 'w')));
}

TEST_F(MfilterTest, EnvelopeTextsStartEmptyForEveryMessage) {
  dir_.write("filter.dat",
             "if (strcmp(sender-ip, 192.0.2.1)) reject from-ip\n"
             "if (rexp(return-path, s@y)) reject from-sender\n"
             "accept clean\n");
  const std::string message = "Subject: x\r\n\r\nbody\r\n";
  EXPECT_EQ(scan(message, "From: <s@y.com>\nIp: 192.0.2.1\nTo: <a@x.com>\n\n"), 1);
  EXPECT_TRUE(logged("Bounced mfilter a@x.com line 1: from-ip")) << log_text();
  // The next envelope names neither: nothing of the first one remains.
  EXPECT_EQ(scan(message, "To: <a@x.com>\n\n"), 1);
  const std::string text = log_text();
  EXPECT_EQ(text.find("Bounced mfilter", text.find("Bounced mfilter") + 1), std::string::npos)
      << text;
}

TEST_F(MfilterTest, MessageBytesCannotWriteLogLines) {
  dir_.write("filter.dat", "accept clean\n");
  EXPECT_EQ(scan("line\r\n12 00:00:00:Err: forged\x1b[0m", "To: <a@x.com\r>\n\n"), 1);
  const std::string text = log_text();
  EXPECT_EQ(text.find("\n12 00:00:00:Err: forged"), std::string::npos) << text;
  EXPECT_TRUE(logged("line\\r\\n12 00:00:00:Err: forged\\x1b[0m")) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
}

// A stalling fast phrase and catastrophic patterns over a 10 KB body end
// within the run's budget; the scan still answers and the log names where.
TEST_F(MfilterTest, HostileRulesEndWithinTheBudget) {
  // Runs of "a" broken by "!": every try of the patterns below backtracks
  // through a whole run before it fails, and no line ends in an "a".
  std::string body;
  while (body.size() < 10000) body += std::string(60, 'a') + "! ";
  const std::string message = "Subject: x\r\n\r\n" + body + "\r\n";
  std::string catastrophic;
  // Several seconds of work without a budget.
  for (int i = 0; i < 40; ++i) {
    for (const char* pattern : {"(a|a)+$", "(a|aa)+$", "(\\w+\\s?)+$"}) {
      catastrophic += "if (rexp(body, \"" + std::string(pattern) + "\")) reject r\n";
    }
  }
  const std::string cases[] = {
      "call rexp_fast(1.0, \"aa(a|a)+$\", x)\naccept clean\n",
      catastrophic + "accept clean\n",
  };
  for (const std::string& rules : cases) {
    dir_.write("filter.dat", rules);
    service_.put_in_service(nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(scan(message, kTwoRecipients), 1);
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    // The default budget of one second plus one match at most.
    EXPECT_LT(spent.count(), 1500) << rules;
    EXPECT_FALSE(logged("Bounced mfilter"));
    std::printf("[ figures  ] hostile rules scanned in %lld ms: %s",
                static_cast<long long>(spent.count()), rules.substr(0, rules.find('\n') + 1).c_str());
  }
  EXPECT_TRUE(logged(":Err: do_mfilter - Time budget of 1000 ms spent at line "));
}

TEST_F(MfilterTest, BudgetSpentTurnsLaterConditionsFalse) {
  dir_.write("filter.dat",
             "if (rexp(body, \"(a|a)+$\")) reject slow\n"
             "if (rexp(body, \"a\")) reject later\n"
             "accept clean\n");
  MfilterOptions options;
  options.budget_ms = 1;
  EXPECT_EQ(scan("Subject: x\r\n\r\n" + std::string(5000, 'a') + "!\r\n", kTwoRecipients, options),
            1);
  EXPECT_TRUE(logged(":Err: do_mfilter - Time budget of 1 ms spent at line ")) << log_text();
  EXPECT_FALSE(logged("Bounced mfilter")) << log_text();
}

TEST_F(MfilterTest, DownloadedRulesSpawnOnlyAllowedPrograms) {
  const std::string rules = "if (spawn(\"/bin/touch ran\") = 0) reject spawned\n";
  struct Case {
    bool downloaded;
    std::string allow;
    bool runs;
  };
  const Case cases[] = {
      {false, "", true},                            // local rules: as ever
      {true, "", false},                            // downloaded, nothing allowed
      {true, "/bin/true, /usr/bin/touch", false},   // another program allowed
      {true, "/bin/true, /bin/touch", true},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir_.file("ran"));
    std::filesystem::remove(dir_.file("filter.sum"));
    dir_.write("filter.dat", rules);
    if (c.downloaded) {
      ASSERT_TRUE(record_downloaded_rules("filter.sum", "filter.dat"));
    }
    service_.put_in_service(nullptr);
    MfilterOptions options;
    options.spawn_allow = c.allow;
    EXPECT_EQ(scan("m", kTwoRecipients, options), 1);
    EXPECT_EQ(dir_.exists("ran"), c.runs) << c.allow;
  }
  EXPECT_TRUE(logged("run_spawn: (/bin/touch ran) not in SPAWN_ALLOW"));
  // An edited rules file is the administrator's own again.
  dir_.write("filter.dat", rules + "accept clean\n");
  EXPECT_FALSE(is_downloaded_rules("filter.sum", "filter.dat"));
}

// ---- spawn ------------------------------------------------------------------

class SpawnTest : public ::testing::Test {
 protected:
  SpawnTest() : cwd_(dir_.path()) { process_log_.open(dir_.file("process.log")); }

  std::int32_t spawn(std::string_view command, std::int64_t limit_ms = 10000) {
    return run_spawn(command, std::string_view(kMessage), engine_.log(), process_log_, limit_ms);
  }

  static constexpr std::string_view kMessage{"Subject: spawned\r\n\r\nbody \0 after nul\r\n", 38};
  TempDir dir_;
  ScopedCwd cwd_;
  Log process_log_;
  RuleEngine engine_;
  LogCollector log_{engine_};
};

TEST_F(SpawnTest, ExitCodesAndTheMessageFile) {
  EXPECT_EQ(spawn("/bin/sh -c \"exit 3\""), 3);
  EXPECT_TRUE(log_.has("run_spawn: (/bin/sh -c \"exit 3\")\n"));
  EXPECT_TRUE(log_.has("run_spawn: NEW Spawned program returned 3\n"));
  EXPECT_EQ(dir_.read("spawn.tmp"), kMessage);

  dir_.write("expected", kMessage);
  EXPECT_EQ(spawn("/bin/sh -c \"cmp -s $FILE$ expected && cmp -s expected $FILE$ && exit 4\""),
            4);
  EXPECT_TRUE(log_.has(
      "run_spawn: (/bin/sh -c \"cmp -s spawn.tmp expected && cmp -s expected spawn.tmp && "
      "exit 4\")\n"));

  dir_.write("five.BAT", "exit 5\n");
  EXPECT_EQ(spawn("five.BAT"), 5);
  dir_.write("quoted dir.bat", "exit 6\n");
  EXPECT_EQ(spawn("\"quoted dir.bat\" $FILE$"), 6);
  // The command is cut to 999 characters.
  EXPECT_EQ(spawn("/bin/sh -c \"exit 7\" " + std::string(1500, 'x')), 7);
}

TEST_F(SpawnTest, FailuresYieldZero) {
  EXPECT_EQ(spawn("no-such-program-here $FILE$"), 0);
  EXPECT_TRUE(log_.has("run_spawn: Unable to open (no-such-program-here spawn.tmp) File Not Found\n"));

  EXPECT_EQ(run_spawn("/bin/true", std::nullopt, engine_.log(), process_log_), 0);
  EXPECT_TRUE(log_.has("run_spawn: run spawn failed\n"));

  const auto start = Clock::now();
  EXPECT_EQ(spawn("/bin/sh -c \"sleep 20; exit 9\"", 300), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(log_.has("run_spawn: no response for 30 seconds, killing robot\n"));

  std::filesystem::remove(dir_.path() / "spawn.tmp");
  std::filesystem::create_directory(dir_.path() / "spawn.tmp");
  EXPECT_EQ(spawn("/bin/true"), 0);
  EXPECT_TRUE(log_.has("run_spawn: Unable to write (spawn.tmp) Is a directory\n"));
}

TEST(SpawnRule, ComparedWithItsExitCode) {
  RunHarness h;
  Log process_log;
  process_log.open(h.dir.file("process.log"));
  h.sinks.process_log = &process_log;
  h.compile(
      "if (spawn(\"/bin/sh -c \\\"exit 3\\\"\") = 3) then\n"
      "  if (spawn(\"/bin/sh -c \\\"grep -q secret $FILE$\\\"\") = 0) reject has-secret\n"
      "  reject three\n"
      "end\n");
  RunOutcome out = h.run("Subject: x\r\n\r\nsecret\r\n");
  EXPECT_EQ(out.result, "line 2: has-secret");
  out = h.run("Subject: x\r\n\r\nnothing\r\n");
  EXPECT_EQ(out.result, "line 3: three");
  // Only the message's own bytes reach the file.
  EXPECT_EQ(h.dir.read("spawn.tmp"), "Subject: x\r\n\r\nnothing\r\n");

  // A child past its limit: the next line still runs.
  h.engine.settings().spawn_limit_ms = 200;
  h.compile("if (spawn(\"/bin/sleep 20\") = 0) reject timed-out\n");
  const auto start = Clock::now();
  EXPECT_EQ(h.run("m").result, "line 1: timed-out");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace quarn::testing
