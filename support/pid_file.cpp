#include "support/pid_file.h"

#include <cstdio>

#include "support/file.h"
#include "support/text.h"

namespace quarn {

bool writepid(const std::string& path, int pid) {
  FilePtr file = open_file(path, "w");
  if (!file) return false;
  std::fprintf(file.get(), "%d", pid);
  return true;
}

int readpid(const std::string& path, int own_pid) {
  FilePtr file = open_file(path, "r");
  if (!file) return own_pid;
  std::string line;
  read_line(file.get(), line, kLineSize, LineMode::kText);
  return atoi32(line);
}

}  // namespace quarn
