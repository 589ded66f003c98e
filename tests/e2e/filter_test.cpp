// The rule filter through the real binary: the header lines a run adds to
// the SCAN answer, the spam counter of the status file, the filter warnings,
// and spawn() children that must leave the protocol alone.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "support/file.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

constexpr std::string_view kMessage =
    "From: Promo <promo@example.net>\r\nSubject: Cheap watches for you\r\n"
    "To: you@example.com\r\n\r\nBuy our watches today.\r\nThey are cheap.\r\n";
constexpr std::string_view kEnvelope = "From: <promo@example.net>\nIp: 192.0.2.1\nTo: <you@example.com>\n\n";

// The answer's lines between the signature line and the X-Files line.
std::string filter_lines(const std::string& answer) {
  const std::size_t crc = answer.find("\nX-Quarn-CRC: ");
  const std::size_t from = answer.find('\n', crc + 1) + 1;
  const std::size_t to = answer.find("X-Files: ");
  if (crc == std::string::npos || to == std::string::npos || to < from) return "<malformed>" + answer;
  return answer.substr(from, to - from);
}

std::string status_line(const TempDir& dir, std::string_view label) {
  const std::string status = dir.read("quarncrc.status");
  const std::size_t at = status.find(std::string(label) + "\t");
  if (at == std::string::npos) return {};
  return status.substr(at, status.find('\n', at) - at);
}

class FilterE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("quarncrc.ini", kTestIni);
    dir.write("m.eml", kMessage);
    dir.write("m.env", kEnvelope);
  }
  TempDir dir;
};

TEST_F(FilterE2E, SpamdetectNamesTellWhichConditionsHeld) {
  dir.write("filter.dat",
            "# each rule that holds leaves its name in the X-SpamDetect line\n"
            "if (size() > 10) then\n"
            "  call spamdetect(2, bigger-than-10)\n"
            "end\n"
            "if (size() > 100000) then\n"
            "  call spamdetect(5, huge)\n"
            "end\n"
            "set(level, 3)\n"
            "if (get(level) = 3) and (!isflag(never)) then\n"
            "  call spamdetect(1.25, level-three)\n"
            "else\n"
            "  call spamdetect(9, else-branch)\n"
            "end\n"
            "if (0) and (spamdetect(7, short-circuit)) accept never\n");
  EngineProcess engine(dir.path());
  const std::string answer = engine.command("1 SCAN m.eml m.env");
  EXPECT_EQ(filter_lines(answer), "X-SpamDetect: ***: 3.250000 level-three,bigger-than-10\n")
      << answer;
  EXPECT_EQ(answer.substr(answer.size() - 2), ".\n");
  EXPECT_EQ(status_line(dir, "Spam (3 or higher)"), "Spam (3 or higher)\t1 (100%)");
  EXPECT_EQ(status_line(dir, "Filter Error"), "");
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(FilterE2E, FewerThanThreeStarsAreNotCounted) {
  dir.write("filter.dat", "call spamdetect(2.9, almost)\n");
  EngineProcess engine(dir.path());
  const std::string answer = engine.command("1 SCAN m.eml m.env");
  EXPECT_EQ(filter_lines(answer), "X-SpamDetect: **: 2.900000 almost\n") << answer;
  EXPECT_EQ(status_line(dir, "Spam (3 or higher)"), "Spam (3 or higher)\t0 (0%)");
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(FilterE2E, RejectedMessagesGetNoSpamdetectLine) {
  dir.write("filter.dat", "call spamdetect(9, scored)\nreject everything\n");
  EngineProcess engine(dir.path());
  for (int i = 0; i < 2; ++i) {
    const std::string answer = engine.command(std::to_string(i) + " SCAN m.eml m.env");
    EXPECT_EQ(filter_lines(answer), "") << answer;
  }
  EXPECT_EQ(status_line(dir, "Spam (3 or higher)"), "Spam (3 or higher)\t0 (0%)");
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(FilterE2E, MissingFilterNeverRuns) {
  EngineProcess engine(dir.path());
  for (int i = 0; i < 3; ++i) {
    const std::string answer = engine.command(std::to_string(i) + " SCAN m.eml m.env");
    EXPECT_EQ(filter_lines(answer), "X-Quarn-Info: Filter did not run\n") << answer;
  }
  EXPECT_EQ(status_line(dir, "Filter Error"), "Filter Error\tWarning - Filter failure");
  // A filter that appears later is compiled by the next scan.
  dir.write("filter.dat", "call spamdetect(4, late)\n");
  EXPECT_EQ(filter_lines(engine.command("4 SCAN m.eml m.env")),
            "X-SpamDetect: ****: 4.000000 late\n");
  EXPECT_EQ(engine.quit(), 0);
  const std::string log = read_engine_log(dir.path());
  EXPECT_NE(log.find("Info: do_mfilter - No current filter loaded\n"), std::string::npos);
  EXPECT_NE(log.find("Info: compile_mfilter - Compile failed (filter.dat probably doesn't exist)\n"),
            std::string::npos);
}

TEST_F(FilterE2E, OldFilterIsReported) {
  dir.write("filter.dat", "accept all\n");
  touch_file(dir.file("filter.dat"), std::time(nullptr) - 30 * 86400 - 100);
  EngineProcess engine(dir.path());
  const std::string answer = engine.command("1 SCAN m.eml m.env");
  EXPECT_EQ(filter_lines(answer), "X-Quarn-Info: Filter is 30 days old\n") << answer;
  EXPECT_EQ(status_line(dir, "Filter Error"), "Filter Error\tWarning - Filter is 30 days old");
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(FilterE2E, FilterMaxCutsWhatTheRulesSee) {
  dir.write("quarncrc.ini", std::string(kTestIni) + "FILTER_MAX 1000\n");
  dir.write("big.eml", std::string(kMessage) + std::string(5000, 'x') + "\r\n");
  dir.write("filter.dat", "if (size() = 1000) then\ncall spamdetect(3, cut-at-1000)\nend\n");
  EngineProcess engine(dir.path());
  EXPECT_EQ(filter_lines(engine.command("1 SCAN big.eml m.env")),
            "X-SpamDetect: ***: 3.000000 cut-at-1000\n");
  EXPECT_EQ(filter_lines(engine.command("2 SCAN m.eml m.env")), "");
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(FilterE2E, EnvelopeWithoutRecipientsStillCountsAsRun) {
  dir.write("filter.dat", "call spamdetect(3, x)\n");
  dir.write("none.env", "From: <promo@example.net>\n\n");
  EngineProcess engine(dir.path());
  EXPECT_EQ(filter_lines(engine.command("1 SCAN m.eml none.env")), "");
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(FilterE2E, SpawnChildrenLeaveTheProtocolAlone) {
  dir.write("filter.dat",
            "if (spawn(\"/bin/sh -c \\\"cat; echo CHILD-WROTE-THIS; exit 3\\\"\") = 3) then\n"
            "  call spamdetect(3, exit-three)\n"
            "end\n"
            "if (spawn(no-such-program) = 0) then\n"
            "  call spamdetect(1, missing-program)\n"
            "end\n"
            "if (spawn(\"/bin/sh -c \\\"grep -q watches $FILE$ && exit 7\\\"\") = 7) then\n"
            "  call spamdetect(1, saw-the-message)\n"
            "end\n");
  dir.write("quarncrc.ini", std::string(kTestIni) + "DEBUG true\n");
  EngineProcess engine(dir.path());
  for (int i = 0; i < 2; ++i) {
    const std::string answer = engine.command(std::to_string(i) + " SCAN m.eml m.env");
    EXPECT_EQ(filter_lines(answer),
              "X-SpamDetect: *****: 5.000000 saw-the-message,missing-program,exit-three\n")
        << answer;
  }
  EXPECT_EQ(engine.command("f FINDCRC A"), "f ERROR Incorrect CRC format\n");
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_NE(engine.stderr_text().find("CHILD-WROTE-THIS"), std::string::npos);
  EXPECT_EQ(dir.read("spawn.tmp"), kMessage);
  const std::string log = read_engine_log(dir.path());
  EXPECT_NE(log.find("dbg: run_spawn: NEW Spawned program returned 3\n"), std::string::npos);
  EXPECT_NE(log.find("dbg: run_spawn: Unable to open (no-such-program) File Not Found\n"),
            std::string::npos);
}

TEST_F(FilterE2E, HeaderAndEnvelopeValuesReachTheRules) {
  dir.write("filter.dat",
            "if (rexp(subject, \"cheap\\s+watches\")) and (spamdetect(1, subject)) setflag(a)\n"
            "if (rexp(from-addr, ^promo@example\\.net$)) and (spamdetect(1, from-addr)) setflag(b)\n"
            "if (strcmp(sender-ip, 192.0.2.1)) and (spamdetect(1, sender-ip)) setflag(c)\n"
            "if (rexp(return-path, promo@)) and (spamdetect(1, return-path)) setflag(d)\n"
            "if (rexp(body, \"^They\\ are\\ cheap\\.$\")) and (spamdetect(1, body)) setflag(e)\n"
            "if (exists(cc)) and (spamdetect(5, never)) setflag(f)\n");
  dir.write("no-ip.env", "To: <you@example.com>\n\n");
  EngineProcess engine(dir.path());
  const std::string all = "X-SpamDetect: *****: 5.000000 body,return-path,sender-ip,from-addr,subject\n";
  EXPECT_EQ(filter_lines(engine.command("1 SCAN m.eml m.env")), all);
  // An envelope without From and Ip lines leaves them empty: nothing of the
  // previous message's envelope remains.
  EXPECT_EQ(filter_lines(engine.command("2 SCAN m.eml no-ip.env")),
            "X-SpamDetect: ***: 3.000000 body,from-addr,subject\n");
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(FilterE2E, ExampleMessagesGetTheirVerdicts) {
  for (const char* name : {"filter.dat", "messages/ham-1.eml", "messages/ham-2.eml",
                           "messages/spam-1.eml", "messages/spam-2.eml", "messages/spam-3.eml",
                           "messages/spam-1.env"}) {
    std::filesystem::create_directories(dir.path() / "messages");
    dir.write(name, read_file(std::string(QUARN_SOURCE_DIR "/examples/") + name));
  }
  EngineProcess engine(dir.path());
  for (const char* ham : {"ham-1", "ham-2"}) {
    const std::string answer =
        engine.command(std::string("h SCAN messages/") + ham + ".eml messages/spam-1.env");
    EXPECT_EQ(filter_lines(answer), "") << answer;
  }
  for (const char* spam : {"spam-1", "spam-2", "spam-3"}) {
    const std::string answer =
        engine.command(std::string("s SCAN messages/") + spam + ".eml messages/spam-1.env");
    EXPECT_EQ(filter_lines(answer).rfind("X-SpamDetect: ***", 0), 0u) << answer;
  }
  EXPECT_EQ(engine.quit(), 0);
}

}  // namespace
}  // namespace quarn::testing
