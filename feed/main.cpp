// quarncrc-feed: a site's own signature and rules feed for QuarnCRC
// engines. See `quarncrc-feed --help`.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "feed/feed_log.h"
#include "feed/message_report.h"
#include "feed/passwords.h"
#include "feed/rules_check.h"
#include "feed/server.h"
#include "feed/store.h"
#include "support/file.h"

namespace quarn::feed {
namespace {

constexpr const char* kUsage =
    "usage: quarncrc-feed --data DIR <command> [options]\n"
    "\n"
    "A signature and rules feed for QuarnCRC engines, kept in DIR/feed.sqlite.\n"
    "\n"
    "commands:\n"
    "  serve --listen HOST:PORT   answer engines' updates and reports over HTTP\n"
    "  report [--ham] FILE...     report messages as spam (or as not spam)\n"
    "  delete ID                  delete a record; engines drop it at their next update\n"
    "  import FILE                apply SET and DEL lines (all or none; - for stdin)\n"
    "  export                     print every record as a SET line\n"
    "  rules set FILE             distribute a rules file after it compiles cleanly\n"
    "  account add|remove|list    manage the accounts engines and reporters use\n"
    "  stats                      records by status and type, stamps, accounts\n"
    "\n"
    "Every command takes --help.\n";

constexpr const char* kServeHelp =
    "usage: quarncrc-feed --data DIR serve --listen HOST:PORT [options]\n"
    "\n"
    "  --listen HOST:PORT       IPv4 address and port (port 0: any free port)\n"
    "  --path PATH              request path (default /cgi-bin/spamcgi.cgi)\n"
    "  --require-account        updates need a known account and its password\n"
    "                           (reports always do)\n"
    "  --update-minutes N       ask engines to update every N minutes\n"
    "  --threads N              worker threads (default 4)\n"
    "  --max-connections N      open connections at most (default 256)\n"
    "  --request-timeout MS     time a client has to send its whole request\n"
    "                           (default 10000)\n"
    "  --idle-timeout S         idle connections close after S seconds (default 60)\n"
    "  --max-message BYTES      largest reported message (default 1048576)\n"
    "  --spam-count N           reports that make a record Spam (default 3)\n"
    "  --keep-days N            delete records not reported for N days (default 14)\n"
    "  --expire-days N          the engines' EXPIRE_DAYS (default 14)\n"
    "  --maintain-every S       expiry and re-stamping interval (default 3600)\n"
    "\n"
    "Logs go to standard error; SIGTERM or SIGINT stops the server.\n";

constexpr const char* kReportHelp =
    "usage: quarncrc-feed --data DIR report [--ham] [--type N] [--spam-count N] FILE...\n"
    "\n"
    "Computes each message's signature. A record that fully matches it has its\n"
    "count raised (with --ham its other count) and is sent again to engines;\n"
    "otherwise a spam report makes a new record of type N (default 0), status\n"
    "Suspected until its count reaches --spam-count (default 3), then Spam.\n"
    "Prints one line per file.\n";

constexpr const char* kDeleteHelp =
    "usage: quarncrc-feed --data DIR delete ID\n\nDeletes record ID; engines receive a DEL line.\n";
constexpr const char* kImportHelp =
    "usage: quarncrc-feed --data DIR import FILE\n"
    "\n"
    "Applies SET and DEL lines (TIME and blank lines are skipped) in one\n"
    "transaction: a bad line refuses the whole file. Records keep their ids and\n"
    "counts and get a new stamp, so engines receive them. FILE - reads stdin.\n";
constexpr const char* kExportHelp =
    "usage: quarncrc-feed --data DIR export\n\nPrints every record as a SET line, oldest first.\n";
constexpr const char* kRulesHelp =
    "usage: quarncrc-feed --data DIR rules set FILE\n"
    "\n"
    "Compiles FILE with the engine's rules compiler and, when it compiles\n"
    "without a message, makes it the rules file engines download.\n";
constexpr const char* kAccountHelp =
    "usage: quarncrc-feed --data DIR account add EMAIL | remove EMAIL | list\n"
    "\n"
    "add reads the password from the first line of standard input and stores\n"
    "a salted slow hash of it (replacing an existing account's password).\n";
constexpr const char* kStatsHelp =
    "usage: quarncrc-feed --data DIR stats\n\nRecords by status and type, stamps, deletions, rules, accounts.\n";

bool wants_help(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

int usage_error(const char* help, const std::string& problem) {
  std::fprintf(stderr, "quarncrc-feed: %s\n\n%s", problem.c_str(), help);
  return 2;
}

bool read_int(const std::string& text, long long min, long long max, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno || *end || value < min || value > max) return false;
  out = value;
  return true;
}


std::string utc(std::int64_t stamp) {
  if (stamp <= 0) return "-";
  const std::time_t t = static_cast<std::time_t>(stamp);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return std::to_string(stamp) + " (" + text + ")";
}

// Reads "--name value" options shared by several commands into `store`.
bool store_option(const std::vector<std::string>& args, std::size_t& i, StoreOptions& store,
                  std::string& problem) {
  const std::string& a = args[i];
  long long value = 0;
  std::int32_t* target = nullptr;
  if (a == "--spam-count") target = &store.spam_count;
  if (a == "--keep-days") target = &store.keep_days;
  if (a == "--expire-days") target = &store.expire_days;
  if (!target) return false;
  if (i + 1 >= args.size() || !read_int(args[i + 1], 1, 100000, value)) {
    problem = a + " needs a number from 1 to 100000";
    return true;
  }
  *target = static_cast<std::int32_t>(value);
  ++i;
  return true;
}

std::unique_ptr<Store> open_store(const std::string& dir, const StoreOptions& options) {
  std::string error;
  std::unique_ptr<Store> store = Store::open(dir, options, error);
  if (!store) std::fprintf(stderr, "quarncrc-feed: cannot open the store in %s: %s\n", dir.c_str(), error.c_str());
  return store;
}

int run_serve(const std::string& dir, const std::vector<std::string>& args) {
  if (wants_help(args)) return std::fputs(kServeHelp, stdout), 0;
  ServerOptions options;
  options.data_dir = dir;
  bool listen = false;
  long long maintain_every = 3600;
  std::string problem;
  for (std::size_t i = 0; i < args.size() && problem.empty(); ++i) {
    const std::string& a = args[i];
    if (store_option(args, i, options.store, problem)) continue;
    const bool has_value = i + 1 < args.size();
    const std::string value = has_value ? args[i + 1] : "";
    long long n = 0;
    if (a == "--require-account") {
      options.require_account = true;
      continue;
    }
    if (!has_value) {
      problem = "unknown option or missing value: " + a;
      break;
    }
    ++i;
    if (a == "--listen") {
      const std::size_t colon = value.rfind(':');
      if (colon == std::string::npos || !read_int(value.substr(colon + 1), 0, 65535, n)) {
        problem = "--listen needs HOST:PORT";
      } else {
        options.host = value.substr(0, colon);
        options.port = static_cast<std::uint16_t>(n);
        listen = true;
      }
    } else if (a == "--path") {
      if (value.empty() || value[0] != '/') problem = "--path must begin with /";
      options.path = value;
    } else if (a == "--update-minutes" && read_int(value, 0, 100000, n)) {
      options.update_minutes = static_cast<std::int32_t>(n);
    } else if (a == "--threads" && read_int(value, 1, 64, n)) {
      options.threads = static_cast<unsigned>(n);
    } else if (a == "--max-connections" && read_int(value, 1, 100000, n)) {
      options.max_connections = static_cast<unsigned>(n);
    } else if (a == "--request-timeout" && read_int(value, 10, 3600000, n)) {
      options.request_timeout_ms = static_cast<int>(n);
    } else if (a == "--idle-timeout" && read_int(value, 1, 86400, n)) {
      options.idle_timeout_s = static_cast<unsigned>(n);
    } else if (a == "--max-message" && read_int(value, 1, 1 << 30, n)) {
      options.max_message = static_cast<std::size_t>(n);
    } else if (a == "--maintain-every" && read_int(value, 1, 86400 * 7, n)) {
      maintain_every = n;
    } else {
      problem = "bad option: " + a + " " + value;
    }
  }
  if (problem.empty() && !listen) problem = "serve needs --listen HOST:PORT";
  if (!problem.empty()) return usage_error(kServeHelp, problem);

  // Signals are taken by this thread alone; the server's threads inherit
  // the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  FeedLog log;
  FeedServer server(options, log);
  std::string error;
  if (!server.start(error)) {
    log.write("cannot start: %s", error.c_str());
    return 1;
  }
  std::unique_ptr<Store> store = open_store(dir, options.store);
  for (;;) {
    if (store) {
      if (const auto done = store->maintain()) {
        if (done->expired || done->restamped || done->forgotten) {
          log.write("maintenance: %lld expired, %lld re-stamped, %lld old deletions forgotten",
                    static_cast<long long>(done->expired), static_cast<long long>(done->restamped),
                    static_cast<long long>(done->forgotten));
        }
      } else {
        log.write("maintenance failed: %s", store->error().c_str());
      }
    }
    timespec wait{static_cast<time_t>(maintain_every), 0};
    const int signal = sigtimedwait(&stop_signals, nullptr, &wait);
    if (signal == SIGTERM || signal == SIGINT) {
      log.write("%s received, stopping", signal == SIGTERM ? "SIGTERM" : "SIGINT");
      break;
    }
  }
  server.stop();
  return 0;
}

int run_report(const std::string& dir, const std::vector<std::string>& args) {
  if (wants_help(args)) return std::fputs(kReportHelp, stdout), 0;
  StoreOptions store_options;
  bool ham = false;
  long long type = 0;
  std::vector<std::string> files;
  std::string problem;
  for (std::size_t i = 0; i < args.size() && problem.empty(); ++i) {
    if (store_option(args, i, store_options, problem)) continue;
    if (args[i] == "--ham") {
      ham = true;
    } else if (args[i] == "--type") {
      if (i + 1 >= args.size() || !read_int(args[++i], 0, 99, type)) problem = "--type needs 0 to 99";
    } else if (args[i].starts_with("--")) {
      problem = "unknown option " + args[i];
    } else {
      files.push_back(args[i]);
    }
  }
  if (problem.empty() && files.empty()) problem = "report needs at least one FILE";
  if (!problem.empty()) return usage_error(kReportHelp, problem);
  std::unique_ptr<Store> store = open_store(dir, store_options);
  if (!store) return 1;
  int status = 0;
  for (const std::string& file : files) {
    std::string error;
    const std::optional<std::string> read = read_whole_file(file, error);
    if (!read) {
      std::fprintf(stderr, "quarncrc-feed: cannot read %s: %s\n", file.c_str(), error.c_str());
      status = 1;
      continue;
    }
    const std::string& message = *read;
    const std::optional<ReportOutcome> outcome =
        store->report(message_crcs(message), ham, static_cast<std::int32_t>(type));
    if (!outcome) {
      std::fprintf(stderr, "quarncrc-feed: %s: store error: %s\n", file.c_str(), store->error().c_str());
      return 1;
    }
    std::printf("%s: %s\n", file.c_str(), describe_report(*outcome).c_str());
    if (outcome->kind == ReportOutcome::kNoBody) status = 1;
  }
  return status;
}

int run_delete(const std::string& dir, const std::vector<std::string>& args) {
  if (wants_help(args)) return std::fputs(kDeleteHelp, stdout), 0;
  long long id = 0;
  if (args.size() != 1 || !read_int(args[0], 1, INT32_MAX, id)) {
    return usage_error(kDeleteHelp, "delete needs one record ID");
  }
  std::unique_ptr<Store> store = open_store(dir, {});
  if (!store) return 1;
  bool found = false;
  if (!store->remove(static_cast<std::int32_t>(id), found)) {
    if (!found) {
      std::fprintf(stderr, "quarncrc-feed: no record %lld\n", id);
      return 1;
    }
    std::fprintf(stderr, "quarncrc-feed: store error: %s\n", store->error().c_str());
    return 1;
  }
  std::printf("deleted %lld\n", id);
  return 0;
}

int run_import(const std::string& dir, const std::vector<std::string>& args) {
  if (wants_help(args)) return std::fputs(kImportHelp, stdout), 0;
  if (args.size() != 1) return usage_error(kImportHelp, "import needs one FILE");
  std::ifstream file;
  std::istream* in = &std::cin;
  if (args[0] != "-") {
    file.open(args[0], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "quarncrc-feed: cannot read %s: %s\n", args[0].c_str(), std::strerror(errno));
      return 1;
    }
    in = &file;
  }
  std::unique_ptr<Store> store = open_store(dir, {});
  if (!store) return 1;
  std::string error;
  const std::optional<ImportOutcome> outcome =
      store->import([in](std::string& line) { return static_cast<bool>(std::getline(*in, line)); }, error);
  if (!outcome) {
    std::fprintf(stderr, "quarncrc-feed: import refused, nothing changed: %s\n", error.c_str());
    return 1;
  }
  std::printf("imported %lld SET and %lld DEL lines at stamp %lld\n",
              static_cast<long long>(outcome->sets), static_cast<long long>(outcome->deletes),
              static_cast<long long>(outcome->stamp));
  return 0;
}

int run_export(const std::string& dir, const std::vector<std::string>& args) {
  if (wants_help(args)) return std::fputs(kExportHelp, stdout), 0;
  if (!args.empty()) return usage_error(kExportHelp, "export takes no arguments");
  std::unique_ptr<Store> store = open_store(dir, {});
  if (!store) return 1;
  if (!store->export_records([](std::string_view line) { std::fwrite(line.data(), 1, line.size(), stdout); })) {
    std::fprintf(stderr, "quarncrc-feed: store error: %s\n", store->error().c_str());
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int run_rules(const std::string& dir, const std::vector<std::string>& args) {
  if (wants_help(args)) return std::fputs(kRulesHelp, stdout), 0;
  if (args.size() != 2 || args[0] != "set") return usage_error(kRulesHelp, "rules needs: set FILE");
  std::string error;
  const std::optional<std::string> read = read_whole_file(args[1], error);
  if (!read) {
    std::fprintf(stderr, "quarncrc-feed: cannot read %s: %s\n", args[1].c_str(), error.c_str());
    return 1;
  }
  const std::string& text = *read;
  const std::vector<std::string> problems = check_rules_file(args[1], text);
  if (!problems.empty()) {
    std::fprintf(stderr, "quarncrc-feed: %s refused, it does not compile cleanly:\n", args[1].c_str());
    for (const std::string& p : problems) std::fprintf(stderr, "  %s\n", p.c_str());
    return 1;
  }
  std::unique_ptr<Store> store = open_store(dir, {});
  if (!store) return 1;
  const std::optional<std::int64_t> version = store->set_rules(text);
  if (!version) {
    std::fprintf(stderr, "quarncrc-feed: store error: %s\n", store->error().c_str());
    return 1;
  }
  std::printf("rules version %lld\n", static_cast<long long>(*version));
  return 0;
}

int run_account(const std::string& dir, const std::vector<std::string>& args) {
  if (wants_help(args)) return std::fputs(kAccountHelp, stdout), 0;
  const bool list = args.size() == 1 && args[0] == "list";
  const bool change = args.size() == 2 && (args[0] == "add" || args[0] == "remove");
  if (!list && !change) return usage_error(kAccountHelp, "account needs: add EMAIL, remove EMAIL or list");
  if (change && (args[1].empty() || args[1].size() > 254)) {
    return usage_error(kAccountHelp, "an EMAIL has 1 to 254 characters");
  }
  std::unique_ptr<Store> store = open_store(dir, {});
  if (!store) return 1;
  if (list) {
    const auto emails = store->accounts();
    if (!emails) return std::fprintf(stderr, "quarncrc-feed: store error: %s\n", store->error().c_str()), 1;
    for (const std::string& e : *emails) std::printf("%s\n", e.c_str());
    return 0;
  }
  if (args[0] == "remove") {
    bool found = false;
    if (!store->remove_account(args[1], found)) {
      return std::fprintf(stderr, "quarncrc-feed: store error: %s\n", store->error().c_str()), 1;
    }
    if (!found) return std::fprintf(stderr, "quarncrc-feed: no account %s\n", args[1].c_str()), 1;
    std::printf("removed %s\n", args[1].c_str());
    return 0;
  }
  std::string password;
  if (!std::getline(std::cin, password)) password.clear();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) return usage_error(kAccountHelp, "no password on standard input");
  const std::optional<std::string> hash = hash_password(password);
  if (!hash) return std::fprintf(stderr, "quarncrc-feed: cannot hash the password\n"), 1;
  if (!store->add_account(args[1], *hash)) {
    return std::fprintf(stderr, "quarncrc-feed: store error: %s\n", store->error().c_str()), 1;
  }
  std::printf("added %s\n", args[1].c_str());
  return 0;
}

int run_stats(const std::string& dir, const std::vector<std::string>& args) {
  if (wants_help(args)) return std::fputs(kStatsHelp, stdout), 0;
  if (!args.empty()) return usage_error(kStatsHelp, "stats takes no arguments");
  std::unique_ptr<Store> store = open_store(dir, {});
  if (!store) return 1;
  const std::optional<StoreStats> s = store->stats();
  if (!s) return std::fprintf(stderr, "quarncrc-feed: store error: %s\n", store->error().c_str()), 1;
  std::printf("records: %lld\n", static_cast<long long>(s->records));
  for (const auto& [status, n] : s->by_status) {
    std::printf("  status %d %s: %lld\n", status, status_name(status), static_cast<long long>(n));
  }
  for (const auto& [type, n] : s->by_type) {
    std::printf("  type %d %s: %lld\n", type, type_name(type), static_cast<long long>(n));
  }
  std::printf("oldest stamp: %s\n", utc(s->oldest_stamp).c_str());
  std::printf("newest stamp: %s\n", utc(s->newest_stamp).c_str());
  std::printf("last stamp: %s\n", utc(s->last_stamp).c_str());
  std::printf("deletions kept: %lld\n", static_cast<long long>(s->deletions));
  std::printf("rules version: %s\n", utc(s->rules_version).c_str());
  std::printf("accounts: %lld\n", static_cast<long long>(s->accounts));
  return 0;
}

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string dir;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--data" && i + 1 < args.size()) {
      dir = args[++i];
    } else if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      break;
    }
  }
  if (i >= args.size()) return usage_error(kUsage, "no command");
  const std::string command = args[i];
  const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
  using Runner = int (*)(const std::string&, const std::vector<std::string>&);
  static const std::pair<const char*, Runner> kCommands[] = {
      {"serve", run_serve},   {"report", run_report}, {"delete", run_delete},
      {"import", run_import}, {"export", run_export}, {"rules", run_rules},
      {"account", run_account}, {"stats", run_stats},
  };
  for (const auto& [name, runner] : kCommands) {
    if (command != name) continue;
    if (dir.empty() && !wants_help(rest)) return usage_error(kUsage, "--data DIR is required");
    return runner(dir, rest);
  }
  return usage_error(kUsage, "unknown command " + command);
}

}  // namespace
}  // namespace quarn::feed

int main(int argc, char** argv) { return quarn::feed::run(argc, argv); }
