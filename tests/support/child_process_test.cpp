// Child processes: command lines, start errors, exit codes, time limits,
// killing whole process groups, and the protocol channel left alone.
#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// True when `pid` names no live process (gone, or a zombie of someone else).
bool process_gone(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

bool gone_within(pid_t pid, milliseconds limit) {
  const auto start = Clock::now();
  while (!process_gone(pid)) {
    if (ms_since(start) > limit.count()) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

// True when `pid` is not an uncollected child of this process.
bool not_our_zombie(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

class ChildProcesses : public ::testing::Test {
 protected:
  void script(const std::string& name, const std::string& text, mode_t mode = 0644) {
    capture.dir.write(name, text);
    ::chmod(capture.dir.file(name).c_str(), mode);
  }

  // Starts `command` and waits up to five seconds for its exit code; -1 when
  // it did not start or end.
  int run(const std::string& command) {
    ChildProcess child;
    std::string error;
    if (lib_detach_handle(capture.log, command, error, child) != 1) return -1;
    int code = -1;
    if (lib_detach_wait(capture.log, child, 5, code) != 1) return -1;
    lib_detach_free(capture.log, child);
    return code;
  }

  LogCapture capture;
};

TEST(SpawnCommand, ProgramPartAndArguments) {
  const struct {
    const char* command;
    std::string program;
    std::vector<std::string> args;
    bool batch;
  } cases[] = {
      {"prog.exe spawn.tmp spawn.tmp", "prog.exe", {"spawn.tmp", "spawn.tmp"}, false},
      {"\"my prog.BAT\" x \"y z\"", "my prog.BAT", {"x", "y z"}, true},
      {"run.bat", "run.bat", {}, true},
      {".Bat", ".Bat", {}, true},
      {"bat", "bat", {}, false},
      {"x.bat.exe a", "x.bat.exe", {"a"}, false},
      {"  lead\t a\t\tb ", "lead", {"a", "b"}, false},
      {"p \"\" q a\"b c\"d", "p", {"", "q", "ab cd"}, false},
      {"\"unterminated name", "unterminated name", {}, false},
      {"", "", {}, false},
  };
  for (const auto& c : cases) {
    SpawnCommand parsed = parse_command(c.command);
    EXPECT_EQ(parsed.program, c.program) << c.command;
    EXPECT_EQ(parsed.args, c.args) << c.command;
    EXPECT_EQ(parsed.batch, c.batch) << c.command;
  }
}

TEST(VarReplace, ReplacesEveryPlaceholderWithinTheCapacity) {
  const struct {
    const char* source;
    std::size_t capacity;
    const char* placeholder;
    std::string expected;
  } cases[] = {
      {"prog.exe $FILE$ $FILE$", 1000, "$FILE$", "prog.exe spawn.tmp spawn.tmp"},
      {"$FILE$$FILE$", 1000, "$FILE$", "spawn.tmpspawn.tmp"},
      {"no placeholder $FILE", 1000, "$FILE$", "no placeholder $FILE"},
      {"abcdef", 4, "$FILE$", "abc"},
      {"ab$FILE$cd", 12, "$FILE$", "abspawn.tmp"},
      {"ab$FILE$cd", 11, "$FILE$", "ab"},  // the replacement does not fit: stop there
      {"abc", 0, "$FILE$", ""},
      {"abc", 1000, "", "abc"},
  };
  for (const auto& c : cases) {
    std::string out = "old";
    EXPECT_EQ(lib_var_replace(c.source, out, c.capacity, c.placeholder, "spawn.tmp"), 1);
    EXPECT_EQ(out, c.expected) << c.source << " / " << c.capacity;
  }
}

TEST_F(ChildProcesses, ExitCodesOfProgramsFoundAlongPathOrQuoted) {
  const struct {
    const char* command;
    int code;
  } cases[] = {
      {"sh -c \"exit 3\"", 3},
      {"\"/bin/sh\" -c \"exit 0\"", 0},
      {"/bin/sh -c \"kill -TERM $$; sleep 5\"", 128 + SIGTERM},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.command), c.code) << c.command;
  EXPECT_EQ(capture.count("Err: lib_spawn: CreateProcess starting a normal file\n"), 3);
  EXPECT_EQ(capture.count("Info: lib_spawn: the process has terminated normally 3\n"), 1);
}

TEST_F(ChildProcesses, StartFailuresGiveTheirTexts) {
  script("plain.txt", "not a program\n", 0644);
  script("garbage", "\x7f" "garbage", 0755);
  const struct {
    std::string command;
    const char* text;
  } cases[] = {
      {"no-such-program-quarn arg", "File Not Found"},
      {"/no/such/dir/prog", "File Not Found"},
      {"/etc/hostname/prog", "Path Not Found"},
      {capture.dir.file("plain.txt"), "Access Denied"},
      {capture.dir.file("garbage"), "Error 8"},
      {"missing.bat", "File Not Found"},
      {"", "File Not Found"},
  };
  for (const auto& c : cases) {
    ChildProcess child;
    std::string error;
    EXPECT_EQ(lib_detach_handle(capture.log, c.command, error, child), 0) << c.command;
    EXPECT_EQ(error, c.text) << c.command;
    EXPECT_FALSE(child.valid());
  }
  EXPECT_EQ(capture.count("Err: lib_spawn: CreateProcess starting a .bat file\n"), 1);
}

TEST_F(ChildProcesses, ProgramsInTheWorkingDirectoryComeFirst) {
  script("quarn-probe", "#!/bin/sh\nexit 7\n", 0755);
  ScopedCwd cwd(capture.dir.path());
  EXPECT_EQ(run("quarn-probe"), 7);
}

TEST_F(ChildProcesses, BatchFilesRunByTheShellInANewSession) {
  // Neither executable nor marked as a script: the shell reads it.
  script("job.bat", "echo \"$1|$2\" > args.txt\n"
                    "read -r pid comm state ppid pgrp sid rest < /proc/$$/stat\n"
                    "echo \"$$ $pgrp $sid\" > ids.txt\n"
                    "exit 4\n");
  script("My Job.BAT", "exec sh job.bat \"$@\"\n");
  ScopedCwd cwd(capture.dir.path());

  std::string command;
  lib_var_replace("job.bat $FILE$ $FILE$", command, 1000, "$FILE$", "spawn.tmp");
  EXPECT_EQ(run(command), 4);
  EXPECT_EQ(capture.dir.read("args.txt"), "spawn.tmp|spawn.tmp\n");
  const std::string ids = capture.dir.read("ids.txt");
  const std::string pid = ids.substr(0, ids.find(' '));
  EXPECT_EQ(ids, pid + " " + pid + " " + pid + "\n");  // group and session leader

  EXPECT_EQ(run("\"My Job.BAT\" \"a b\" c"), 4);
  EXPECT_EQ(capture.dir.read("args.txt"), "a b|c\n");
  EXPECT_EQ(capture.count("Err: lib_spawn: CreateProcess starting a .bat file\n"), 2);
}

TEST_F(ChildProcesses, OtherProgramsLeadANewProcessGroup) {
  script("ids.sh",
         "#!/bin/sh\n"
         "read -r pid comm state ppid pgrp sid rest < /proc/$$/stat\n"
         "echo \"$$ $pgrp $sid\" > ids.txt\n");
  ScopedCwd cwd(capture.dir.path());
  ::chmod("ids.sh", 0755);
  ASSERT_EQ(run("./ids.sh"), 0);
  const std::string ids = capture.dir.read("ids.txt");
  const std::string pid = ids.substr(0, ids.find(' '));
  EXPECT_EQ(ids, pid + " " + pid + " " + std::to_string(::getsid(0)) + "\n");
}

TEST_F(ChildProcesses, ChildRunningPastTheLimitIsKilledWithItsGroup) {
  script("slow.bat", "sleep 30 &\necho $! > grandchild.txt\nsleep 30\n");
  ScopedCwd cwd(capture.dir.path());
  ChildProcess child;
  std::string error;
  ASSERT_EQ(lib_detach_handle(capture.log, "slow.bat", error, child), 1);
  const pid_t pid = child.pid();
  int code = -1;
  const auto start = Clock::now();
  EXPECT_EQ(lib_detach_wait(capture.log, child, 1, code), 0);
  EXPECT_GE(ms_since(start), 1000);
  EXPECT_EQ(code, -1);

  EXPECT_EQ(lib_detach_kill(capture.log, child), 1);
  EXPECT_FALSE(child.valid());
  EXPECT_TRUE(not_our_zombie(pid));
  EXPECT_TRUE(process_gone(pid));
  const pid_t grandchild = std::atoi(capture.dir.read("grandchild.txt").c_str());
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(gone_within(grandchild, milliseconds(3000)));
  EXPECT_EQ(capture.count("Info: lib_spawn: spawn_release(handle=" + std::to_string(pid) +
                          ") killing process\n"),
            1);
  EXPECT_EQ(capture.count("Info: lib_spawn: the process has terminated normally 0\n"), 1);
}

TEST_F(ChildProcesses, ReleasingOrDroppingARunningChildLeavesNothingBehind) {
  std::string error;
  pid_t released_pid = -1;
  {
    ChildProcess child;
    ASSERT_EQ(lib_detach_handle(capture.log, "sleep 30", error, child), 1);
    released_pid = child.pid();
    EXPECT_EQ(lib_detach_free(capture.log, child), 1);
    EXPECT_FALSE(child.valid());
  }
  EXPECT_EQ(capture.count("Err: lib_spawn: spawn_release: Releasing handle for process still "
                          "alive\n"),
            1);
  EXPECT_TRUE(not_our_zombie(released_pid));

  pid_t dropped_pid = -1;
  {
    ChildProcess child;
    ASSERT_EQ(lib_detach_handle(capture.log, "sleep 30", error, child), 1);
    dropped_pid = child.pid();
    ChildProcess moved = std::move(child);
    EXPECT_FALSE(child.valid());
    EXPECT_EQ(moved.pid(), dropped_pid);
  }
  EXPECT_TRUE(not_our_zombie(dropped_pid));
  EXPECT_TRUE(process_gone(dropped_pid));

  // An ended child: its exit code stays readable until it is released.
  ChildProcess done;
  ASSERT_EQ(lib_detach_handle(capture.log, "sh -c \"exit 9\"", error, done), 1);
  int code = -1;
  ASSERT_EQ(detach_wait_ms(capture.log, done, 5000, code), 1);
  EXPECT_EQ(code, 9);
  EXPECT_EQ(done.exit_code(), 9);
  EXPECT_EQ(detach_wait_ms(capture.log, done, 5000, code), 1);
  EXPECT_EQ(lib_detach_kill(capture.log, done), 1);
  EXPECT_EQ(capture.count("Info: lib_spawn: the process has terminated normally 9\n"), 1);
}

TEST_F(ChildProcesses, ChildrenNeverTouchStandardInputOrOutput) {
  script("probe.bat",
         "if read -r line; then echo \"read:$line\" >&2; else echo \"eof\" >&2; fi\n"
         "echo to-stdout\n");
  ScopedCwd cwd(capture.dir.path());

  int in_pipe[2];
  ASSERT_EQ(::pipe(in_pipe), 0);
  ASSERT_EQ(::write(in_pipe[1], "secret\n", 7), 7);
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_in = ::dup(0);
  const int saved_out = ::dup(1);
  const int saved_err = ::dup(2);
  const int out_file = ::open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err_file = ::open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(in_pipe[0], 0);
  ::dup2(out_file, 1);
  ::dup2(err_file, 2);

  ChildProcess child;
  std::string error;
  int started = lib_detach_handle(capture.log, "probe.bat", error, child);
  int code = -1;
  int waited = started == 1 ? lib_detach_wait(capture.log, child, 5, code) : 0;

  ::dup2(saved_in, 0);
  ::dup2(saved_out, 1);
  ::dup2(saved_err, 2);
  // The test's own standard input still holds its bytes.
  ::fcntl(in_pipe[0], F_SETFL, O_NONBLOCK);
  char buf[16] = {};
  const ssize_t unread = ::read(in_pipe[0], buf, sizeof buf);
  for (int fd : {saved_in, saved_out, saved_err, out_file, err_file, in_pipe[0], in_pipe[1]}) {
    ::close(fd);
  }

  ASSERT_EQ(started, 1) << error;
  ASSERT_EQ(waited, 1);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(std::string(buf, unread > 0 ? static_cast<std::size_t>(unread) : 0), "secret\n");
  EXPECT_EQ(capture.dir.read("out.txt"), "");
  EXPECT_EQ(capture.dir.read("err.txt"), "eof\nto-stdout\n");
}

TEST_F(ChildProcesses, EnvironmentIsInheritedOrGiven) {
  script("env.bat", "echo \"${QUARN_PROBE:-unset}\" > env.txt\n");
  ScopedCwd cwd(capture.dir.path());
  ::setenv("QUARN_PROBE", "inherited", 1);
  EXPECT_EQ(run("env.bat"), 0);
  ::unsetenv("QUARN_PROBE");
  EXPECT_EQ(capture.dir.read("env.txt"), "inherited\n");

  ChildProcess child;
  std::string error;
  ASSERT_EQ(lib_detach_prog_env(capture.log, "env.bat", {"QUARN_PROBE=given", "PATH=/usr/bin:/bin"},
                                error, child),
            1);
  int code = -1;
  ASSERT_EQ(lib_detach_wait(capture.log, child, 5, code), 1);
  EXPECT_EQ(capture.dir.read("env.txt"), "given\n");
}

}  // namespace
}  // namespace quarn::testing
