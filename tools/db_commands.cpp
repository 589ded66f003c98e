// db stats and db check: what a database file holds and what the engine
// would refuse of it.
#include <cstdio>
#include <ctime>
#include <map>
#include <string>

#include "signature/signature_db.h"
#include "support/file.h"
#include "tools/db_load.h"
#include "tools/tool.h"
#include "update/update_commands.h"

namespace quarn::tool {
namespace {

constexpr const char* kDbHelp =
    "Usage: quarncrc-tool db stats FILE\n"
    "       quarncrc-tool db check [--ini FILE] FILE\n"
    "\n"
    "stats  the records the file leaves once every line is applied, counted by\n"
    "       status and by type, with the oldest and newest SET timestamps;\n"
    "       expiry is not applied\n"
    "check  every line the engine would reject when loading the file, as\n"
    "       FILE:LINE: followed by the engine's log text (settings from --ini,\n"
    "       else quarncrc.ini beside FILE); exit 1 when there is one\n";

struct Held {
  std::int32_t status = 0;
  std::int32_t type = 0;
  std::int32_t timestamp = 0;
};

std::string utc(std::int32_t stamp) {
  const std::time_t t = stamp;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return std::to_string(stamp) + " (" + buf + ")";
}

std::string name_or_number(const char* name, std::int32_t value) {
  return *name != '\0' ? std::string(name) : "unknown " + std::to_string(value);
}

int db_stats(const std::string& path) {
  FilePtr file = open_file(path, "r");
  if (!file) {
    std::fprintf(stderr, "quarncrc-tool db: cannot read %s\n", path.c_str());
    return kFinding;
  }
  CommandRules rules;
  rules.test_mode = true;
  std::map<std::int32_t, Held> records;
  int lines = 0;
  int rejected = 0;
  for_each_db_line(file.get(), [&](const std::string& line, int) {
    ++lines;
    const ParsedCommand c = parse_update_command(line, rules);
    if (!c.valid()) {
      ++rejected;
    } else if (c.kind == CommandKind::kSet) {
      records[c.id] = Held{c.status, c.type, c.timestamp};
    } else if (c.kind == CommandKind::kDel) {
      records.erase(c.id);
    }
  });
  std::map<std::string, int> by_status;
  std::map<std::string, int> by_type;
  std::int32_t oldest = 0;
  std::int32_t newest = 0;
  for (const auto& [id, held] : records) {
    ++by_status[name_or_number(status_name(held.status), held.status)];
    ++by_type[name_or_number(type_name(held.type), held.type)];
    if (oldest == 0 || held.timestamp < oldest) oldest = held.timestamp;
    if (held.timestamp > newest) newest = held.timestamp;
  }
  std::printf("%s: %d lines, %d rejected, %zu records\n", path.c_str(), lines, rejected,
              records.size());
  std::printf("status:\n");
  for (const auto& [name, n] : by_status) std::printf("  %-24s %d\n", name.c_str(), n);
  std::printf("type:\n");
  for (const auto& [name, n] : by_type) std::printf("  %-24s %d\n", name.c_str(), n);
  if (!records.empty()) {
    std::printf("oldest: %s\nnewest: %s\n", utc(oldest).c_str(), utc(newest).c_str());
  }
  return kOk;
}

int db_check(const std::string& path, const std::string& ini_path) {
  FilePtr file = open_file(path, "r");
  if (!file) {
    std::fprintf(stderr, "quarncrc-tool db: cannot read %s\n", path.c_str());
    return kFinding;
  }
  QuietLog quiet;
  Settings settings(quiet.log(),
                    SettingsOptions{ini_path.empty() ? settings_beside(path) : ini_path});
  settings.init();
  SignatureDb db(quiet.log());
  UpdateState state;
  UpdateCommands commands(db, settings, quiet.log(), state);
  const CommandRules rules = commands.rules();

  // The engine's own text for each rejection, caught from a log of its own.
  char* caught = nullptr;
  std::size_t caught_size = 0;
  std::FILE* stream = open_memstream(&caught, &caught_size);
  if (stream == nullptr) return kFinding;
  int found = 0;
  {
    QuietLog judge_log(stream);
    for_each_db_line(file.get(), [&](const std::string& line, int number) {
      const ParsedCommand c = parse_update_command(line, rules);
      if (c.valid()) return;
      std::fflush(stream);
      const std::size_t before = caught_size;
      log_judgement(judge_log.log(), c);
      std::fflush(stream);
      std::string text(caught + before, caught_size - before);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      for (char& ch : text) {
        if (ch == '\n') ch = ' ';
      }
      std::printf("%s:%d: %s\n", path.c_str(), number, text.c_str());
      ++found;
    });
  }
  std::fclose(stream);
  std::free(caught);
  return found == 0 ? kOk : kFinding;
}

}  // namespace

int cmd_db(const Args& args) {
  if (wants_help(args) || (!args.empty() && args[0] == "help")) return print_help(kDbHelp);
  if (args.empty()) return usage_error("db", "expected 'stats FILE' or 'check FILE'");
  const std::string_view sub = args[0];
  std::string ini_path;
  std::vector<std::string> files;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--ini" && sub == "check") {
      if (i + 1 == args.size()) return usage_error("db", "--ini needs a file");
      ini_path = args[++i];
    } else if (args[i].starts_with("-") && args[i].size() > 1) {
      return usage_error("db", "unknown option " + std::string(args[i]));
    } else {
      files.emplace_back(args[i]);
    }
  }
  if (files.size() != 1) return usage_error("db", "expected exactly one database file");
  if (sub == "stats") return db_stats(files[0]);
  if (sub == "check") return db_check(files[0], ini_path);
  return usage_error("db", "unknown subcommand " + std::string(sub));
}

}  // namespace quarn::tool
