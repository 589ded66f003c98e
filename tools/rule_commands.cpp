// lint and trace: a rules file checked, a message's run shown.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tools/rule_adapter.h"
#include "tools/tool.h"

namespace quarn::tool {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLintHelp =
    "Usage: quarncrc-tool lint [FILE]\n"
    "\n"
    "Compiles FILE (default filter.dat) with the engine's rules compiler, in\n"
    "FILE's folder as the engine does in its working directory, and prints every\n"
    "compile message as file:line: text, following includes. Then warns about what\n"
    "compiles but cannot work: header names no message can fill, lines after an\n"
    "unconditional accept or reject. Exit status 1 when the engine would not put\n"
    "the file in service.\n";

constexpr const char* kTraceHelp =
    "Usage: quarncrc-tool trace [--workdir DIR] [--env FILE] [--json] MESSAGE...\n"
    "\n"
    "Runs each message through what SCAN runs, with the quarncrc.ini, filter.dat\n"
    "and quarncrc.db of DIR (default: the current directory), without writing\n"
    "anything there. Prints the answer block (tag \"trace\"), then the lines that\n"
    "executed with their results, the flags set, the fast phrases found, the\n"
    "score list and the signature match.\n"
    "\n"
    "  --workdir DIR  the engine's working directory\n"
    "  --env FILE     the envelope file; default: MESSAGE with its extension\n"
    "                 replaced by .env when there is one, else a single\n"
    "                 \"To: <postmaster@localhost>\" line\n"
    "  --json         one JSON object per message instead\n";

std::string with_dir(const fs::path& dir, const std::string& file) {
  if (file.empty() || fs::path(file).is_absolute() || dir.empty()) return file;
  return (dir / file).string();
}

void print_message(const fs::path& dir, const LintMessage& m, const char* kind) {
  const std::string file = with_dir(dir, m.file);
  if (m.line > 0) {
    std::printf("%s:%d: %s%s\n", file.c_str(), m.line, kind, m.text.c_str());
  } else {
    std::printf("%s: %s%s\n", file.c_str(), kind, m.text.c_str());
  }
}

// Runs `body` in `dir` and comes back; false when `dir` cannot be entered.
template <class Body>
bool in_directory(const fs::path& dir, Body&& body) {
  std::error_code ec;
  const fs::path back = fs::current_path(ec);
  if (!dir.empty()) {
    fs::current_path(dir, ec);
    if (ec) return false;
  }
  body();
  if (!dir.empty()) fs::current_path(back, ec);
  return true;
}

std::string trace_json(const std::string& message, const TraceReport& r) {
  std::string out = "{\"message\":" + json_string(message);
  out += ",\"answer\":" + json_string(r.answer);
  out += ",\"signature\":" + json_string(r.signature);
  out += ",\"match\":" + (r.match.empty() ? std::string("null") : json_string(r.match));
  out += std::string(",\"filter_ran\":") + (r.filter_ran ? "true" : "false");
  out += ",\"lines\":[";
  for (std::size_t i = 0; i < r.run_lines.size(); ++i) {
    out += (i ? "," : "") + json_string(r.run_lines[i]);
  }
  out += "],\"flags\":{";
  for (std::size_t i = 0; i < r.flags.size(); ++i) {
    out += (i ? "," : "") + json_string(r.flags[i].first) + ":" + std::to_string(r.flags[i].second);
  }
  out += "},\"phrases\":[";
  for (std::size_t i = 0; i < r.phrases.size(); ++i) out += (i ? "," : "") + json_string(r.phrases[i]);
  out += "],\"scores\":[";
  for (std::size_t i = 0; i < r.scores.size(); ++i) {
    char score[32];
    std::snprintf(score, sizeof score, "%.2f", r.scores[i].score);
    out += std::string(i ? "," : "") + "{\"name\":" + json_string(r.scores[i].name) +
           ",\"score\":" + score + "}";
  }
  return out + "]}";
}

void trace_text(const std::string& message, const TraceReport& r) {
  std::printf("== %s\n%s", message.c_str(), r.answer.c_str());
  std::printf("-- run%s\n", r.filter_ran ? "" : " (the filter did not run)");
  for (const std::string& line : r.run_lines) std::printf("  %s\n", line.c_str());
  std::printf("-- flags set\n");
  for (const auto& [name, value] : r.flags) std::printf("  %s = %d\n", name.c_str(), value);
  std::printf("-- phrases found\n");
  for (const std::string& phrase : r.phrases) std::printf("  %s\n", phrase.c_str());
  std::printf("-- scores\n");
  for (const TraceScore& s : r.scores) std::printf("  %6.2f %s\n", s.score, s.name.c_str());
  std::printf("-- signature\n  %s\n  match: %s\n", r.signature.c_str(),
              r.match.empty() ? "none" : r.match.c_str());
}

}  // namespace

int cmd_lint(const Args& args) {
  if (wants_help(args)) return print_help(kLintHelp);
  std::string path = "filter.dat";
  if (args.size() > 1) return usage_error("lint", "expected at most one rules file");
  if (!args.empty()) {
    if (args[0].starts_with("-")) return usage_error("lint", "unknown option " + std::string(args[0]));
    path = args[0];
  }
  const fs::path dir = fs::path(path).parent_path();
  const std::string name = fs::path(path).filename().string();
  LintReport report;
  if (!in_directory(dir, [&] { report = lint_rules(name); })) {
    std::fprintf(stderr, "quarncrc-tool lint: cannot enter %s\n", dir.c_str());
    return kFinding;
  }
  for (const LintMessage& m : report.messages) print_message(dir, m, "");
  for (const LintMessage& m : report.warnings) print_message(dir, m, "warning: ");
  if (!report.in_service) {
    std::printf("%s: the engine would not put this file in service\n", path.c_str());
    return kFinding;
  }
  return kOk;
}

int cmd_trace(const Args& args) {
  if (wants_help(args)) return print_help(kTraceHelp);
  std::string workdir;
  std::string envelope;
  bool json = false;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--workdir" || args[i] == "--env") {
      if (i + 1 == args.size()) return usage_error("trace", std::string(args[i]) + " needs a value");
      std::string& target = args[i] == "--workdir" ? workdir : envelope;
      target = args[++i];
    } else if (args[i] == "--json") {
      json = true;
    } else if (args[i].starts_with("-") && args[i].size() > 1) {
      return usage_error("trace", "unknown option " + std::string(args[i]));
    } else {
      files.emplace_back(args[i]);
    }
  }
  if (files.empty()) return usage_error("trace", "no message file given");

  // Paths are taken relative to where the tool was started.
  std::error_code ec;
  const auto absolute = [&](const std::string& p) { return fs::absolute(p, ec).string(); };
  if (!envelope.empty()) envelope = absolute(envelope);
  std::string default_envelope;
  char temp_name[] = "/tmp/quarncrc-tool-env-XXXXXX";
  const int temp_fd = mkstemp(temp_name);
  if (temp_fd >= 0) {
    static constexpr char kTo[] = "To: <postmaster@localhost>\n";
    if (write(temp_fd, kTo, sizeof kTo - 1) == static_cast<ssize_t>(sizeof kTo - 1)) {
      default_envelope = temp_name;
    }
    close(temp_fd);
  }
  std::vector<std::pair<std::string, std::string>> jobs;  // message, envelope
  for (const std::string& file : files) {
    std::string env = envelope;
    if (env.empty()) {
      const fs::path beside = fs::path(file).replace_extension(".env");
      env = fs::path(file).extension() != ".env" && fs::exists(beside, ec) ? absolute(beside)
                                                                           : default_envelope;
    }
    jobs.emplace_back(absolute(file), env);
  }

  int result = kOk;
  std::string error;
  const bool entered = in_directory(workdir, [&] {
    TraceSession session;
    if (!session.open(error)) {
      result = kFinding;
      return;
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      const TraceReport report = session.trace(jobs[i].first, jobs[i].second);
      if (report.answer.find(" ERROR ") != std::string::npos) result = kFinding;
      if (json) {
        std::printf("%s\n", trace_json(files[i], report).c_str());
      } else {
        trace_text(files[i], report);
      }
    }
  });
  if (!default_envelope.empty()) unlink(default_envelope.c_str());
  if (!entered) {
    std::fprintf(stderr, "quarncrc-tool trace: cannot enter %s\n", workdir.c_str());
    return kFinding;
  }
  if (!error.empty()) std::fprintf(stderr, "quarncrc-tool trace: %s\n", error.c_str());
  return result;
}

}  // namespace quarn::tool
