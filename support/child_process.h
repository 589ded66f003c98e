// Child processes for the rule language's spawn(): start a detached program
// from a command line, wait for its exit code with a time limit, release or
// kill it; and the placeholder replacement that builds its command line.
//
// Command lines are read the way the engine's rules files were written for:
// the program part is the text up to the closing double quote when the line
// starts with one, else up to the first blank; the rest is split into
// arguments at blanks, with double quotes grouping (and removed). A program
// named without "/" is looked for in the working directory first, then along
// PATH. A program whose name ends in ".bat" (any letter case) is a shell
// script run by /bin/sh in a new session; any other program runs in a new
// process group of its own. Either way the child is the leader of its
// process group, so killing it kills everything it started in that group.
//
// The child inherits the environment (or gets the given one) and the working
// directory, gets default signal dispositions and an empty signal mask, reads
// standard input from /dev/null and writes its standard output to standard
// error: standard input and output are the engine's protocol channel and a
// child must never touch them. No other descriptor is inherited.
//
// Ownership: a `ChildProcess` owns its child until the child's exit has been
// collected or the handle released. Destroying a handle whose child still
// runs kills the child's process group and collects it, so no zombie is left
// behind. The operations log through the `Log` given to them (texts and
// levels as the engine has always logged them).
//
// Threads: a handle is used by one thread at a time. Starting children is
// safe from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/log.h"

namespace quarn {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // True while the handle holds a child (running or ended, not released).
  bool valid() const { return pid_ > 0; }
  // The child's process id (also its process group id), -1 when empty.
  pid_t pid() const { return pid_; }
  // True when the child's exit has been collected.
  bool ended() const { return ended_; }
  // The exit code once ended: the program's exit status; 0 when this
  // library killed it; 128 + the signal number when a signal ended it.
  std::optional<int> exit_code() const;

  // The operations behind the lib_detach_ entry points below (same results
  // and log texts). `start` runs the command with the environment `envp`
  // (null-terminated "NAME=value" strings) and makes the handle hold it.
  int start(Log& log, std::string_view command, char* const* envp, std::string& error_text);
  int wait_ms(Log& log, std::int64_t limit_ms, int& exit_code);
  int release(Log& log);
  int kill(Log& log);

 private:

  enum class Status { kRunning, kEnded, kUnknown };
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  // Collects the exit when it happened (never blocks). kUnknown with `err`
  // set when the status cannot be read.
  Status poll_status(int& err);
  // Kills the process group; 0, or the errno of the failed kill.
  int kill_group();
  // Waits a bounded time for a killed child to be collected.
  void reap_killed();
  // Kills a still-running child and collects it; empties the handle.
  void reset();

  pid_t pid_ = -1;
  bool ended_ = false;
  bool killed_ = false;
  int exit_code_ = 0;
};

// How a command line is read (see the top of this file).
struct SpawnCommand {
  std::string program;            // the program part, quotes removed
  std::vector<std::string> args;  // the arguments after it
  bool batch = false;             // the program part ends in ".bat"
};
SpawnCommand parse_command(std::string_view command);

// Copies `source` to `destination`, replacing every occurrence of
// `placeholder` (an empty one never matches) by `replacement`, and stops
// where the next character or replacement would not fit in capacity - 1
// characters. Returns 1.
int lib_var_replace(std::string_view source, std::string& destination, std::size_t capacity,
                    std::string_view placeholder, std::string_view replacement);

// Starts the command as a detached child with the engine's environment.
// 1 and the child in `handle_out`; 0 and `error_text` ("File Not Found",
// "Path Not Found", "Access Denied" or "Error %d") when it cannot start.
int lib_detach_handle(Log& log, std::string_view command, std::string& error_text,
                      ChildProcess& handle_out);

// The same with an explicit environment ("NAME=value" strings).
int lib_detach_prog_env(Log& log, std::string_view command, const std::vector<std::string>& env,
                        std::string& error_text, ChildProcess& handle_out);

// Waits up to `seconds` (or `limit_ms`) for the child to end. 1 and its exit
// code when it ended in time (or its status could not be read, logged, exit
// code 0); 0 when the time is up.
int lib_detach_wait(Log& log, ChildProcess& handle, int seconds, int& exit_code);
int detach_wait_ms(Log& log, ChildProcess& handle, std::int64_t limit_ms, int& exit_code);

// Releases the handle, logging whether the child had ended. A child still
// running is killed with its process group and collected. Returns 1.
int lib_detach_free(Log& log, ChildProcess& handle);

// Kills the child's process group when the child still runs, then releases
// the handle. Returns 1.
int lib_detach_kill(Log& log, ChildProcess& handle);

}  // namespace quarn
