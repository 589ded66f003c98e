// A log written to a file in a fresh temporary directory, read back without
// time stamps, for tests that check what a module logged.
#pragma once

#include <sstream>
#include <string>

#include "support/log.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {

class LogCapture {
 public:
  LogCapture() {
    log.set_flush(true);
    log.open(dir.file("test.log"));
  }

  // Every line as "Level: text" (the 11-character stamp and its colon cut).
  std::string text() const {
    std::istringstream in(read_file(dir.file("test.log")));
    std::string out;
    for (std::string line; std::getline(in, line);) {
      out += line.size() > 12 ? line.substr(12) : line;
      out += '\n';
    }
    return out;
  }

  // How often `needle` occurs in the log.
  int count(const std::string& needle) const {
    const std::string all = text();
    int n = 0;
    for (auto pos = all.find(needle); pos != std::string::npos; pos = all.find(needle, pos + 1)) ++n;
    return n;
  }

  TempDir dir;
  Log log;
};

}  // namespace quarn::testing
