// The run half of the rules language's `spawn(command)`: hand the message
// being filtered to an outside program and take its exit code.
//
// The message text is written, byte for byte, to "spawn.tmp" in the working
// directory (rewritten by every call and left on disk). The command, cut to
// 999 characters, has every "$FILE$" replaced by "spawn.tmp" (the result
// again at most 999 characters) and is started as a detached child with the
// engine's environment and working directory (see support/child_process.h:
// standard input from /dev/null, standard output to standard error, its own
// process group). The child gets `limit_ms` (30 seconds) to end; after that
// its process group is killed and the value is 0.
//
// Log lines go to the rule engine's info logger: "run_spawn: run spawn
// failed\n", "run_spawn: Unable to write (spawn.tmp) %s\n", "run_spawn:
// (%s)\n", "run_spawn: Unable to open (%s) %s\n", "run_spawn: NEW Spawned
// program returned %d\n", "run_spawn: no response for 30 seconds, killing
// robot\n". The process operations log through the engine's log directly.
//
// Runs on the scanning thread inside a filter run, under the filter mutex;
// only one "spawn.tmp" exists, so calls never overlap.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quarn {

class Log;
class RuleLog;

inline constexpr const char* kSpawnFile = "spawn.tmp";
inline constexpr std::int64_t kSpawnLimitMs = 30000;

// Whether a rules file from the update server may start `command`: its
// program part (as the child runner reads it, quotes removed) must be one
// of the entries of `allow_list`, separated by blanks, tabs or commas, and
// compared exactly. An empty list allows nothing.
bool spawn_allowed(std::string_view command, std::string_view allow_list);

// The child's exit code; 0 when there is no message text, "spawn.tmp"
// cannot be written, the program cannot be started, or it did not end in
// time.
std::int32_t run_spawn(std::string_view command, std::optional<std::string_view> message_text,
                       RuleLog& log, Log& process_log, std::int64_t limit_ms = kSpawnLimitMs);

}  // namespace quarn
