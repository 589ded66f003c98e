// The real quarncrc binary driven over its pipes, as a mail server drives it.
//
// The engine runs in a working directory the test prepares (usually a
// TempDir with `kTestIni` as quarncrc.ini). Standard output is read through
// a pipe with time limits; standard error goes to "stderr.txt" in the
// working directory. Every read has a limit, so a hung engine fails the test
// instead of hanging it; the destructor closes standard input, waits a
// little and kills the engine if it is still running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::testing {

// The settings every end-to-end test starts from: no automatic update
// (the update thread would otherwise run one at its first cycle).
inline constexpr std::string_view kTestIni = "AUTO_UPDATE false\n";

using std::chrono::milliseconds;

class EngineProcess {
 public:
  // Starts the engine in `dir` with the given arguments (default: --test).
  explicit EngineProcess(const std::filesystem::path& dir,
                         std::vector<std::string> args = {"--test"});
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes bytes to the engine's standard input (false once it is gone).
  bool send_raw(std::string_view bytes);
  // Writes one command line and its line end.
  bool send(std::string_view line) { return send_raw(std::string(line) + "\n"); }

  // The next line of standard output without its "\n", or nothing when no
  // complete line arrives within the limit (or output ended).
  std::optional<std::string> read_line(milliseconds limit = milliseconds(10000));
  // The next answer: lines up to and including "." when the first line is a
  // DATA line, else the single line; each line with its "\n". Empty on
  // time-out.
  std::string read_answer(milliseconds limit = milliseconds(10000));
  // Sends a command and returns its answer.
  std::string command(std::string_view line, milliseconds limit = milliseconds(10000));
  // Everything standard output delivers until it closes or the limit passes.
  std::string read_until_eof(milliseconds limit = milliseconds(10000));
  // True when nothing (not even a partial line) arrives within the limit.
  bool silent_for(milliseconds limit);

  void close_stdin();
  // Closes our end of the engine's standard output (the server went away).
  void close_stdout();
  // The exit code once the engine has ended within the limit; -1 for "still
  // running", 128 + signal for a signal.
  int wait_exit(milliseconds limit = milliseconds(10000));
  // Sends QUIT, closes standard input and waits for the exit code.
  int quit(milliseconds limit = milliseconds(10000));
  // What the engine wrote to standard error so far.
  std::string stderr_text() const;

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  bool out_closed_ = false;
  std::optional<int> exit_code_;
  std::string buffer_;
};

// The engine's log file in `dir` (quarncrc.log or quarncrc_<pid>.log).
std::string read_engine_log(const std::filesystem::path& dir);

}  // namespace quarn::testing
