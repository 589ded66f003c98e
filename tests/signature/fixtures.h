// Fixtures shared by the signature and update tests: a log written to a
// temporary file whose entries can be read back with their level, and
// settings loaded from a quarncrc.ini written by the test.
#pragma once

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/log.h"
#include "support/settings.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {

class Harness {
 public:
  explicit Harness(std::string_view ini = "") {
    dir.write("quarncrc.ini", ini);
    log.open(dir.file("test.log"));
    settings = std::make_unique<Settings>(log, SettingsOptions{.path = dir.file("quarncrc.ini")});
    settings->init();
  }

  // Replaces quarncrc.ini and reloads it; the log is emptied.
  void set_ini(std::string_view ini) {
    dir.write("quarncrc.ini", ini);
    settings->reload();
    clear_log();
  }

  // The log entries written so far, each "Level:text" without the time stamp
  // and without the final line end ("Err:...", "Info:...", "dbg:...").
  std::vector<std::string> log_entries() {
    log.flush();
    std::vector<std::string> entries;
    std::istringstream in(dir.read("test.log"));
    std::string line;
    while (std::getline(in, line)) {
      if (auto entry = parse_entry(line)) {
        entries.push_back(*entry);
      } else if (!entries.empty()) {
        entries.back() += "\n" + line;
      }
    }
    return entries;
  }

  std::string log_text() {
    std::string all;
    for (const auto& e : log_entries()) all += e + "\n";
    return all;
  }

  void clear_log() { log.reopen(); }

  // "DD HH:MM:SS:Level: text" -> "Level:text"; nothing for a continuation.
  static std::optional<std::string> parse_entry(const std::string& line) {
    if (line.size() < 13 || line[2] != ' ' || line[5] != ':' || line[8] != ':' ||
        line[11] != ':') {
      return std::nullopt;
    }
    const std::size_t colon = line.find(':', 12);
    if (colon == std::string::npos) return std::nullopt;
    const std::string level = line.substr(12, colon - 12);
    if (level != "Err" && level != "Info" && level != "dbg") return std::nullopt;
    std::size_t text = colon + 1;
    if (text < line.size() && line[text] == ' ') ++text;
    return level + ":" + line.substr(text);
  }

  TempDir dir;
  Log log;
  std::unique_ptr<Settings> settings;
};

}  // namespace quarn::testing
