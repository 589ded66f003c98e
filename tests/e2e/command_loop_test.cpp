// The command loop of the real binary: answers, process files, bad input.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kMessage = "From: a@example.com\r\nSubject: hello\r\n\r\nbody\r\n";

class CommandLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("quarncrc.ini", std::string(kTestIni) + "SKIP_FILTER true\n");
    dir.write("m.txt", kMessage);
  }
  void settings(std::string_view extra) {
    dir.write("quarncrc.ini", std::string(kTestIni) + std::string(extra));
  }
  TempDir dir;
};

TEST_F(CommandLoop, InvalidCommandsEchoTheirTag) {
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("1 scan a b"), "1 ERROR Invalid command\n");
  EXPECT_EQ(engine.command("2 findcrc A"), "2 ERROR Invalid command\n");
  EXPECT_EQ(engine.command(""), "ERROR Invalid command\n");
  EXPECT_EQ(engine.command(" \t "), "ERROR Invalid command\n");
  EXPECT_EQ(engine.command("udcmd SET"), "udcmd ERROR Invalid command\n");
  EXPECT_EQ(engine.command("lonely"), "lonely ERROR Invalid command\n");
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(CommandLoop, UdcmdOnlyInTestMode) {
  EngineProcess normal(dir.path(), {});
  EXPECT_EQ(normal.command("UDCMD DEL|1"), "UDCMD ERROR Invalid command\n");
  EXPECT_EQ(normal.quit(), 0);
  EngineProcess test(dir.path());
  test.send("UDCMD DEL|1");
  EXPECT_EQ(test.command("x"), "x ERROR Invalid command\n");  // UDCMD answered nothing
  EXPECT_EQ(test.quit(), 0);
}

TEST_F(CommandLoop, QuitInAnyCaseStopsSilently) {
  for (const char* quit : {"QUIT", "quit", "qUiT extra words"}) {
    EngineProcess engine(dir.path());
    engine.send(quit);
    EXPECT_EQ(engine.read_until_eof(), "") << quit;
    EXPECT_EQ(engine.wait_exit(), 0);
    EXPECT_FALSE(dir.exists("quarncrc.pid"));
  }
}

TEST_F(CommandLoop, EndOfInputEndsTheLoop) {
  EngineProcess engine(dir.path());
  engine.send_raw("1 SCAN m.txt e.env");  // a last line without its line end still counts
  engine.close_stdin();
  EXPECT_NE(engine.read_until_eof().find("1 DATA\n"), std::string::npos);
  EXPECT_EQ(engine.wait_exit(), 0);
}

TEST_F(CommandLoop, ScanAnswersDataBlocks) {
  EngineProcess engine(dir.path());
  std::string answer = engine.command("17 SCAN m.txt no-such.env");
  EXPECT_EQ(answer.rfind("17 DATA\n", 0), 0u);
  EXPECT_NE(answer.find("X-Files: m.txt no-such.env\n"), std::string::npos);
  EXPECT_EQ(answer.substr(answer.size() - 3), "\n.\n");
  EXPECT_EQ(engine.quit(), 0);

  EngineProcess normal(dir.path(), {});
  answer = normal.command("18 SCAN m.txt e.env");
  EXPECT_EQ(answer.find("X-Files"), std::string::npos);  // only in test mode
  EXPECT_EQ(normal.quit(), 0);
}

TEST_F(CommandLoop, ScanParameterAndFileErrors) {
  dir.write("empty.txt", "");
  std::filesystem::create_directory(dir.path() / "adir");
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("5 SCAN m.txt"), "5 ERROR Incorrect number of parameters\n");
  EXPECT_EQ(engine.read_line(), "");  // the answer's second, empty line
  EXPECT_EQ(engine.command("6 SCAN"), "6 ERROR Incorrect number of parameters\n");
  EXPECT_EQ(engine.read_line(), "");
  EXPECT_EQ(engine.command("7 SCAN missing.txt e.env"),
            "7 ERROR Unable to access scan file (missing.txt)\n");
  std::string answer = engine.command("8 SCAN adir e.env");
  EXPECT_EQ(answer.rfind("8 ERROR Unable to ", 0), 0u) << answer;
  EXPECT_EQ(engine.command("9 SCAN empty.txt e.env").rfind("9 DATA\n", 0), 0u);
  EXPECT_EQ(engine.quit(), 0);
  const std::string log = read_engine_log(dir.path());
  EXPECT_NE(log.find("Err: 5 ERROR Incorrect number of parameters\n"), std::string::npos);
  EXPECT_NE(log.find("Err: Unable to access scan file (missing.txt)\n"), std::string::npos);
}

// Only regular files are read: a FIFO without a writer, a device, a socket
// or a directory is refused at once, as scan file and as envelope file.
TEST_F(CommandLoop, SpecialFilesAreRefusedAtOnce) {
  settings("");
  dir.write("e.env", "To: <a@x.com>\n\n");
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.path() / "adir");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = (dir.path() / "sock").string();
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EngineProcess engine(dir.path());
  int tag = 0;
  for (const std::string name : {"fifo", "/dev/zero", "/dev/null", "sock", "adir"}) {
    // A socket cannot even be opened; the rest open without waiting and are
    // refused for what they are.
    const std::string shown = name == "adir"   ? "Is a directory"
                              : name == "sock" ? "No such device or address"
                                               : "Not a regular file";
    std::string t = std::to_string(++tag);
    EXPECT_EQ(engine.command(t + " SCAN " + name + " e.env", 3000ms),
              t + " ERROR Unable to open scan file (" + name + ") (" + shown + ")\n");
    t = std::to_string(++tag);
    EXPECT_EQ(engine.command(t + " SCAN m.txt " + name, 3000ms),
              t + " ERROR Unable to open envelope file (" + name + ") (" + shown + ")\n");
  }
  EXPECT_EQ(engine.quit(), 0);
  ::close(sock);
}

// Two engines started together in one directory: one ends, the other
// serves, and the journal the survivor writes is whole.
TEST_F(CommandLoop, TwoEnginesInOneDirectoryLeaveOneWriter) {
  settings("SKIP_FILTER true\nLOG_SIZE 0\n");
  for (int round = 0; round < 3; ++round) {
    EngineProcess first(dir.path(), {});
    EngineProcess second(dir.path(), {});
    int first_exit = -1;
    int second_exit = -1;
    for (int i = 0; i < 150 && first_exit == -1 && second_exit == -1; ++i) {
      first_exit = first.wait_exit(50ms);
      second_exit = second.wait_exit(50ms);
    }
    // Exactly one of them is left, the one whose id is in the pid file.
    ASSERT_NE(first_exit == -1, second_exit == -1) << first_exit << " " << second_exit;
    EngineProcess& survivor = first_exit == -1 ? first : second;
    EXPECT_EQ(dir.read("quarncrc.pid"), std::to_string(survivor.pid()));
    EXPECT_EQ(survivor.command("1 SCAN m.txt e.env").rfind("1 DATA\n", 0), 0u);
    EXPECT_EQ(survivor.quit(), 0);
  }
  EXPECT_NE(dir.read("quarncrc.log").find("Duplicate QuarnCRC running! Terminating"),
            std::string::npos);
}

TEST_F(CommandLoop, FilesOfMsgSzBytesOrMoreAreClean) {
  settings("SKIP_FILTER true\nMSG_SZ 100\n");
  dir.write("99.txt", std::string(99, 'a'));
  dir.write("100.txt", std::string(100, 'a'));
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("1 SCAN 100.txt e.env"), "1 CLEAN\n");
  EXPECT_EQ(engine.command("2 SCAN 99.txt e.env").rfind("2 DATA\n", 0), 0u);
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_NE(read_engine_log(dir.path()).find("Info: Skipping large file 100>=100 bytes\n"),
            std::string::npos);
}

TEST_F(CommandLoop, EnvelopeErrorsReplaceTheWholeAnswer) {
  settings("WRITE_TEMP true\nMSG_SZ 1000\n");
  dir.write("big.env", std::string(1000, 'e'));
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("1 SCAN m.txt missing.env"),
            "1 ERROR Unable to access envelope file (missing.env)\n");
  EXPECT_EQ(engine.command("2 SCAN m.txt big.env"),
            "2 ERROR Unable to read envelope file (big.env)\n");
  // The temporary copy of the message stays after an envelope error.
  const std::string temp = "quarncrc_" + std::to_string(engine.pid()) + ".msg";
  EXPECT_EQ(dir.read(temp), kMessage);
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_NE(read_engine_log(dir.path()).find("Err: Unable to access envelope file (missing.env)"),
            std::string::npos);
}

TEST_F(CommandLoop, WithoutRulesTheFilterDidNotRun) {
  settings("");
  dir.write("e.env", "To: <a@example.com>\n\n");
  EngineProcess engine(dir.path());
  const std::string answer = engine.command("1 SCAN m.txt e.env");
  EXPECT_NE(answer.find("\nX-Quarn-Info: Filter did not run\n"), std::string::npos) << answer;
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_NE(dir.read("quarncrc.status").find("Filter Error\tWarning - Filter failure\n"),
            std::string::npos);
}

TEST_F(CommandLoop, TemporaryMessageFileIsRemovedAfterACompleteScan) {
  settings("SKIP_FILTER true\nWRITE_TEMP true\n");
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("1 SCAN m.txt e.env").rfind("1 DATA\n", 0), 0u);
  EXPECT_FALSE(dir.exists("quarncrc_" + std::to_string(engine.pid()) + ".msg"));
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(CommandLoop, ProcessFiles) {
  dir.write("quarncrc.status", "stale");
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("x"), "x ERROR Invalid command\n");
  EXPECT_EQ(dir.read("quarncrc.pid"), std::to_string(engine.pid()));
  const std::string status = dir.read("quarncrc.status");
  EXPECT_EQ(status,
            "Binary\tAug 25 2003\n"
            "Filter\tNone\n"
            "Spam (3 or higher)\t0 (0%)\n"
            "CRC Scanned\t0\n"
            "CRC Matched\t0 (0%)\n"
            "CRC Partial Match\t0 (0%)\n"
            "CRC Late Checked\t0\n"
            "CRC Late Matched\t0 (0%)\n"
            "CRC Late Partial Match\t0 (0%)\n");
  // Within 10 seconds of the last write the file is not written again.
  std::filesystem::remove(dir.path() / "quarncrc.status");
  engine.command("1 SCAN m.txt e.env");
  EXPECT_FALSE(dir.exists("quarncrc.status"));
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_FALSE(dir.exists("quarncrc.pid"));
  const std::string log = read_engine_log(dir.path());
  EXPECT_NE(log.find("Info: Starting QuarnCRC Aug 25 2003\n"), std::string::npos);
  EXPECT_NE(log.find("Info: Waiting for first command\n"), std::string::npos);
  EXPECT_NE(log.find("Info: Command - x\n"), std::string::npos);
  EXPECT_TRUE(dir.exists("quarncrc_" + std::to_string(engine.pid()) + ".log"));
}

TEST_F(CommandLoop, UnwritableStatusFileIsLoggedNotFatal) {
  std::filesystem::create_directory(dir.path() / "quarncrc.status");
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("1 SCAN m.txt e.env").rfind("1 DATA\n", 0), 0u);
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_NE(read_engine_log(dir.path()).find("Err: do_command - Could not update status file"),
            std::string::npos);
}

TEST_F(CommandLoop, TestModeTimingsOnStandardError) {
  EngineProcess engine(dir.path());
  engine.command("1 SCAN m.txt e.env");
  EXPECT_EQ(engine.quit(), 0);
  const std::string err = engine.stderr_text();
  EXPECT_NE(err.find("Finished - Database contains 0 messages\n"), std::string::npos) << err;
  EXPECT_NE(err.find("QuarnCRC Timing - Runtime: "), std::string::npos);
  EXPECT_NE(err.find(" Messages per second: "), std::string::npos);
  EXPECT_NE(err.find("Mfilter timing - mf_clock_total "), std::string::npos);

  EngineProcess normal(dir.path(), {});
  EXPECT_EQ(normal.quit(), 0);
  EXPECT_EQ(normal.stderr_text(), "");
}

TEST_F(CommandLoop, VersionPrintsAndExitsAtOnce) {
  EngineProcess engine(dir.path(), {"--VERSION"});
  EXPECT_EQ(engine.read_until_eof(), "QuarnCRC Aug 25 2003\n");
  EXPECT_EQ(engine.wait_exit(), 1);
  EXPECT_FALSE(dir.exists("quarncrc.pid"));
  EXPECT_EQ(read_engine_log(dir.path()), "");
}

TEST_F(CommandLoop, FailedStartUpExitsWithOneAndKeepsThePidFile) {
  settings("MSG_SZ -5\n");
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.wait_exit(), 1);
  EXPECT_TRUE(dir.exists("quarncrc.pid"));
}

TEST_F(CommandLoop, EachInputLineGetsExactlyOneAnswer) {
  EngineProcess engine(dir.path());
  // Over-long lines, NUL bytes and binary noise: one answer per line, in order.
  engine.send("a" + std::string(5000, 'x'));
  engine.send(std::string("b\0 SCAN m.txt e.env", 19));
  engine.send("c \x01\x02\xff\xfe\x80 SCAN");
  engine.send(std::string(999, 'd'));
  engine.send("1 SCAN m.txt e.env");
  // A tag of 999 characters leaves no room for the reason, but the answer
  // still ends its line.
  EXPECT_EQ(engine.read_answer(), "a" + std::string(997, 'x') + "\n");
  EXPECT_EQ(engine.read_answer(), "b ERROR Invalid command\n");
  EXPECT_EQ(engine.read_answer(), "c ERROR Invalid command\n");
  std::string long_answer = engine.read_answer();
  EXPECT_EQ(long_answer.size(), 999u);
  EXPECT_EQ(long_answer.back(), '\n');
  EXPECT_EQ(engine.read_answer().rfind("1 DATA\n", 0), 0u);
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(CommandLoop, DataBlockAlwaysEndsWithItsTerminator) {
  const std::string tag(900, 't');
  const std::string name(60, 'n');
  dir.write(name, kMessage);
  EngineProcess engine(dir.path());
  const std::string answer = engine.command(tag + " SCAN " + name + " " + name);
  // The X-Files line no longer fits: it is dropped whole, never the terminator.
  EXPECT_EQ(answer.rfind(tag + " DATA\nX-Quarn-CRC: A", 0), 0u);
  EXPECT_EQ(answer.find("X-Files"), std::string::npos);
  EXPECT_EQ(answer.substr(answer.size() - 3), "\n.\n");
  EXPECT_LE(answer.size(), 999u);
  EXPECT_EQ(engine.command("next"), "next ERROR Invalid command\n");
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(CommandLoop, ClosedOutputEndsTheLoopCleanly) {
  EngineProcess engine(dir.path());
  engine.close_stdout();
  engine.send("1 SCAN m.txt e.env");
  engine.send("2 SCAN m.txt e.env");
  EXPECT_EQ(engine.wait_exit(), 0);
  EXPECT_FALSE(dir.exists("quarncrc.pid"));
}

TEST_F(CommandLoop, GarbageSettingsStillStart) {
  std::string garbage = "\x01\x02 \xff\n=\n\"\"\"\nDEBUG\t\t\"\n" + std::string(3000, '#') + "\n";
  garbage += std::string(kTestIni);
  dir.write("quarncrc.ini", garbage);
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("z"), "z ERROR Invalid command\n");
  EXPECT_EQ(engine.quit(), 0);
}

}  // namespace
}  // namespace quarn::testing
