// quarncrc-tool: what every command shares.
//
// Each command is a function taking its own arguments (the command word and
// anything before it already removed) and returning the process exit code:
// 0 success, 1 a finding (a rule file the engine would refuse, a database
// line it would reject, a message it could not read), 2 a usage error.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::tool {

inline constexpr int kOk = 0;
inline constexpr int kFinding = 1;
inline constexpr int kUsage = 2;

using Args = std::vector<std::string_view>;

// True when `args` asks for help ("-h" or "--help" anywhere).
bool wants_help(const Args& args);
// Prints `text` to standard output and returns kOk.
int print_help(const char* text);
// Prints "quarncrc-tool <command>: <what>" and a hint to standard error and
// returns kUsage.
int usage_error(std::string_view command, std::string_view what);
// `text` as a JSON string literal (bytes above 0x7e and controls escaped as
// \u00XX, so any message text gives valid JSON).
std::string json_string(std::string_view text);

int cmd_sign(const Args& args);
int cmd_match(const Args& args);
int cmd_db(const Args& args);
int cmd_lint(const Args& args);
int cmd_trace(const Args& args);

}  // namespace quarn::tool
