// quarncrc-tool: the administrator's companion to the engine.
#include <cstdio>
#include <cstring>

#include "support/version.h"
#include "tools/tool.h"

namespace quarn::tool {

bool wants_help(const Args& args) {
  for (std::string_view a : args) {
    if (a == "-h" || a == "--help") return true;
  }
  return false;
}

int print_help(const char* text) {
  std::fputs(text, stdout);
  return kOk;
}

int usage_error(std::string_view command, std::string_view what) {
  std::fprintf(stderr, "quarncrc-tool %.*s: %.*s\nTry 'quarncrc-tool %.*s --help'.\n",
               static_cast<int>(command.size()), command.data(), static_cast<int>(what.size()),
               what.data(), static_cast<int>(command.size()), command.data());
  return kUsage;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c > 0x7e) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace quarn::tool

namespace {

constexpr const char* kHelp =
    "Usage: quarncrc-tool COMMAND [ARGS...]\n"
    "\n"
    "Commands:\n"
    "  lint [FILE]                    compile a rules file (default filter.dat) and\n"
    "                                 print every compile message as file:line: text\n"
    "  trace [--workdir DIR] [--env FILE] [--json] MESSAGE...\n"
    "                                 run messages through what SCAN runs and show why\n"
    "  sign [--parts] MESSAGE...      print each message's signature\n"
    "  match --db FILE MESSAGE...     the FINDCRC answer of each message against FILE\n"
    "  db stats FILE                  records by status and type, oldest and newest\n"
    "  db check FILE                  every line the engine would reject\n"
    "\n"
    "Every command takes --help. Exit status: 0 success, 1 a finding, 2 usage error.\n"
    "  --version                      print the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace quarn::tool;
  Args args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kHelp, stderr);
    return kUsage;
  }
  const std::string_view command = args.front();
  args.erase(args.begin());
  if (command == "-h" || command == "--help" || command == "help") return print_help(kHelp);
  if (command == "--version") {
    std::printf("quarncrc-tool (%s) %d.%d\n", quarn::kProductName, 1, 0);
    return kOk;
  }
  if (command == "sign") return cmd_sign(args);
  if (command == "match") return cmd_match(args);
  if (command == "db") return cmd_db(args);
  if (command == "lint") return cmd_lint(args);
  if (command == "trace") return cmd_trace(args);
  std::fprintf(stderr, "quarncrc-tool: unknown command '%.*s'\n\n%s",
               static_cast<int>(command.size()), command.data(), kHelp);
  return kUsage;
}
