// The milter's settings: built-in defaults, then the configuration file,
// then the command line (which always wins, also after a reload).
//
// Configuration file (quarncrc-milter.conf): one "key value" or
// "key = value" per line; blank lines and lines starting with "#" are
// ignored. The keys are the long options without their dashes (socket,
// workdir, engine, engines, reject-match, reject-text, reject-score,
// hold-score, on-failure, timeout, spool, syslog, socket-mode, socket-group).
// Switches take yes/no, true/false, on/off or 1/0.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarn::milter {

enum class FailureAction { kTempfail, kAccept };

struct Options {
  std::string socket;             // "inet:PORT@HOST" or "unix:PATH"
  std::string workdir;            // an engine's directory, or the parent of N
  std::string engine;             // the engine program (empty: beside ours)
  int engines = 1;                // 1: workdir is the engine's directory
  std::string config;             // the configuration file, if any
  bool reject_match = false;      // reject on a signature match
  std::string reject_text = "Message rejected as spam";
  double reject_score = 0;        // reject from this total up (0: never)
  double hold_score = 0;          // hold (quarantine) from this total up (0: never)
  FailureAction on_failure = FailureAction::kTempfail;
  int timeout = 30;               // seconds an engine may take for an answer
  std::string spool;              // spool directory (empty: <workdir>/spool)
  bool syslog = false;            // log to syslog instead of standard error
  int socket_mode = 0660;         // permissions of a unix socket
  std::string socket_group;       // group of a unix socket (empty: postfix if any)
};

// Key/value settings in the order given; the command line becomes one too.
using Settings = std::vector<std::pair<std::string, std::string>>;

// Applies one setting; an error text when the key or value is not valid.
std::optional<std::string> apply_setting(Options& options, const std::string& key,
                                         const std::string& value);

// Reads a configuration file into settings; an error text on failure.
std::optional<std::string> read_config_file(const std::string& path, Settings& out);

enum class CommandLine { kRun, kHelp, kVersion, kError };
// Reads argv into settings (the --config value among them).
CommandLine parse_command_line(int argc, char** argv, Settings& out, std::string& error);

// defaults <- configuration file (named in `command_line` by "config") <-
// command line. An error text when anything is invalid or a required
// setting (socket, workdir) is missing.
std::optional<std::string> load_options(const Settings& command_line, Options& out);

extern const char kUsage[];

}  // namespace quarn::milter
