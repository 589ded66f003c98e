// The tool's one window on the rule engine and the scan path: compiling a
// rules file for `lint`, and running one message the way SCAN does for
// `trace`. Everything that names the rule engine's classes lives behind
// this header, so a change of those interfaces is met here alone.
//
// Both work relative to the current directory, as the engine does: rules
// files and their includes are opened by the paths they are written with,
// settings come from "quarncrc.ini", the database from "quarncrc.db". The
// caller changes into the working directory first. The tool writes nothing
// there (no log, pid, lock or status file, no update run); only what the
// rules themselves do runs as in a scan: spawn() and report() write their
// spool files, and spawn() starts its program.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quarn::tool {

// One compile message or lint warning, at the physical line of the
// statement's last line (file empty when it names no line).
struct LintMessage {
  std::string file;
  int line = 0;
  std::string text;  // without its line end
};

struct LintReport {
  bool in_service = false;            // the engine would put the file in service
  std::vector<LintMessage> messages;  // the compiler's, in order
  std::vector<LintMessage> warnings;  // what compiles but cannot work
};

// Compiles `path` with the engine's compiler.
LintReport lint_rules(const std::string& path);

struct TraceScore {
  std::string name;
  double score = 0;
};

struct TraceReport {
  std::string answer;                  // the SCAN answer block, tag "trace"
  std::string signature;               // A<signature>
  std::string match;                   // the X-Quarn-Match value, or empty
  bool filter_ran = false;
  std::vector<std::string> run_lines;  // the interpreter's trace lines
  std::vector<std::pair<std::string, int>> flags;  // flags not 0 after the run
  std::vector<std::string> phrases;    // fast phrases found
  std::vector<TraceScore> scores;      // the run's scores, then the match's
};

// The settings, database and filter of the current directory, loaded once
// for any number of traced messages.
class TraceSession {
 public:
  TraceSession();
  ~TraceSession();
  TraceSession(const TraceSession&) = delete;
  TraceSession& operator=(const TraceSession&) = delete;

  // Loads settings, database and filter; false (with the reason) when the
  // rules file cannot be put in service. A missing database is empty.
  bool open(std::string& error);
  // Scans `message_path` with the envelope text `envelope` as SCAN does.
  TraceReport trace(const std::string& message_path, const std::string& envelope_path);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quarn::tool
