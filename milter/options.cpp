#include "milter/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace quarn::milter {

const char kUsage[] =
    "Usage: quarncrc-milter --socket inet:PORT@HOST|unix:PATH --workdir DIR [options]\n"
    "\n"
    "Scans every message a mail server (Postfix, Sendmail) hands over the milter\n"
    "protocol with quarncrc engines, and adds their header lines to it.\n"
    "\n"
    "  --socket ADDRESS     where the mail server connects: inet:PORT@HOST or unix:PATH\n"
    "  --workdir DIR        the engine's working directory (quarncrc.ini, filter.dat,\n"
    "                       quarncrc.db); with --engines N the parent of N of them,\n"
    "                       named 1 .. N\n"
    "  --engine PATH        the engine program (default: quarncrc beside this program,\n"
    "                       else along PATH)\n"
    "  --engines N          number of engines to run (default 1)\n"
    "  --config FILE        configuration file (quarncrc-milter.conf); the command\n"
    "                       line wins over it; reread on SIGHUP\n"
    "  --reject-match       reject a message whose signature is known spam\n"
    "  --reject-text TEXT   the text of such a 5xx reject (default \"Message rejected\n"
    "                       as spam\")\n"
    "  --reject-score N     reject when the X-SpamDetect total reaches N\n"
    "  --hold-score N       hold (quarantine) when the total reaches N\n"
    "  --on-failure ACTION  tempfail (default) or accept, for a message the engines\n"
    "                       could not scan\n"
    "  --timeout SECONDS    an engine that has not answered by then is restarted\n"
    "                       (default 30)\n"
    "  --spool DIR          where message and envelope files are written\n"
    "                       (default: WORKDIR/spool)\n"
    "  --syslog             log to syslog (facility mail) instead of standard error\n"
    "  --socket-mode OCTAL  permissions of a unix socket (default 660)\n"
    "  --socket-group NAME  group of a unix socket (default: postfix, when it exists)\n"
    "  --help, --version\n";

namespace {

std::string trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

std::optional<bool> parse_switch(const std::string& value) {
  if (value == "yes" || value == "true" || value == "on" || value == "1") return true;
  if (value == "no" || value == "false" || value == "off" || value == "0") return false;
  return std::nullopt;
}

std::optional<long> parse_int(const std::string& value, int base, long low, long high) {
  if (value.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long n = std::strtol(value.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || n < low || n > high) return std::nullopt;
  return n;
}

std::optional<double> parse_number(const std::string& value) {
  if (value.empty()) return std::nullopt;
  char* end = nullptr;
  double n = std::strtod(value.c_str(), &end);
  if (*end != '\0' || !(n >= 0) || n > 1e9) return std::nullopt;
  return n;
}

// Options that are switches on the command line (no value follows).
bool is_switch(const std::string& key) { return key == "reject-match" || key == "syslog"; }

}  // namespace

std::optional<std::string> apply_setting(Options& o, const std::string& key,
                                         const std::string& value) {
  auto bad = [&] { return "invalid value for " + key + ": \"" + value + "\""; };
  if (key == "socket") {
    if (!value.starts_with("inet:") && !value.starts_with("unix:") &&
        !value.starts_with("local:")) {
      return bad();
    }
    o.socket = value;
  } else if (key == "workdir") {
    if (value.empty()) return bad();
    o.workdir = value;
  } else if (key == "engine") {
    o.engine = value;
  } else if (key == "engines") {
    auto n = parse_int(value, 10, 1, 64);
    if (!n) return bad();
    o.engines = static_cast<int>(*n);
  } else if (key == "config") {
    o.config = value;
  } else if (key == "reject-match") {
    auto on = parse_switch(value);
    if (!on) return bad();
    o.reject_match = *on;
  } else if (key == "reject-text") {
    if (value.empty() || value.find_first_of("\r\n") != std::string::npos || value.size() > 400) {
      return bad();
    }
    o.reject_text = value;
  } else if (key == "reject-score") {
    auto n = parse_number(value);
    if (!n) return bad();
    o.reject_score = *n;
  } else if (key == "hold-score") {
    auto n = parse_number(value);
    if (!n) return bad();
    o.hold_score = *n;
  } else if (key == "on-failure") {
    if (value == "tempfail") {
      o.on_failure = FailureAction::kTempfail;
    } else if (value == "accept") {
      o.on_failure = FailureAction::kAccept;
    } else {
      return bad();
    }
  } else if (key == "timeout") {
    auto n = parse_int(value, 10, 1, 86400);
    if (!n) return bad();
    o.timeout = static_cast<int>(*n);
  } else if (key == "spool") {
    o.spool = value;
  } else if (key == "syslog") {
    auto on = parse_switch(value);
    if (!on) return bad();
    o.syslog = *on;
  } else if (key == "socket-mode") {
    auto n = parse_int(value, 8, 0, 0777);
    if (!n) return bad();
    o.socket_mode = static_cast<int>(*n);
  } else if (key == "socket-group") {
    o.socket_group = value;
  } else {
    return "unknown setting \"" + key + "\"";
  }
  return std::nullopt;
}

std::optional<std::string> read_config_file(const std::string& path, Settings& out) {
  std::ifstream in(path);
  if (!in) return "cannot read " + path + ": " + std::strerror(errno);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = trim(line);
    if (line.empty() || line.front() == '#') continue;
    std::size_t cut = line.find_first_of(" \t=");
    std::string key = line.substr(0, cut);
    std::string value = cut == std::string::npos ? "" : trim(line.substr(cut));
    if (!value.empty() && value.front() == '=') value = trim(value.substr(1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.empty() && is_switch(key)) value = "yes";
    if (key == "config") return path + ":" + std::to_string(number) + ": config cannot be set here";
    Options probe;
    if (auto error = apply_setting(probe, key, value)) {
      return path + ":" + std::to_string(number) + ": " + *error;
    }
    out.emplace_back(key, value);
  }
  return std::nullopt;
}

CommandLine parse_command_line(int argc, char** argv, Settings& out, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return CommandLine::kHelp;
    if (arg == "--version") return CommandLine::kVersion;
    if (!arg.starts_with("--")) {
      error = "unexpected argument \"" + arg + "\"";
      return CommandLine::kError;
    }
    std::string key = arg.substr(2);
    std::string value;
    if (std::size_t eq = key.find('='); eq != std::string::npos) {
      value = key.substr(eq + 1);
      key.resize(eq);
    } else if (is_switch(key)) {
      value = "yes";
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      error = "--" + key + " needs a value";
      return CommandLine::kError;
    }
    Options probe;
    if (auto bad = apply_setting(probe, key, value)) {
      error = *bad;
      return CommandLine::kError;
    }
    out.emplace_back(key, value);
  }
  return CommandLine::kRun;
}

std::optional<std::string> load_options(const Settings& command_line, Options& out) {
  Options options;
  for (const auto& [key, value] : command_line) {
    if (key == "config") options.config = value;
  }
  Settings file;
  if (!options.config.empty()) {
    if (auto error = read_config_file(options.config, file)) return error;
  }
  for (const Settings* layer : {static_cast<const Settings*>(&file), &command_line}) {
    for (const auto& [key, value] : *layer) {
      if (auto error = apply_setting(options, key, value)) return error;
    }
  }
  if (options.socket.empty()) return std::string("no socket given (--socket)");
  if (options.workdir.empty()) return std::string("no working directory given (--workdir)");
  out = std::move(options);
  return std::nullopt;
}

}  // namespace quarn::milter
