// What another process has used so far, read from /proc: the benchmarks
// that drive the real engine over its pipes report the engine's own
// processor time and peak memory, not the driver's.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace quarn::bench {

// Processor time the process has used, in seconds: the scheduler's exact
// run time of each of its threads (/proc/PID/task/*/schedstat, in
// nanoseconds). The tick counts of /proc/PID/stat are sampled 100 times a
// second, far too coarse for a benchmark that runs the engine for half a
// second; they are the fallback where schedstat is missing.
inline double cpu_seconds(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  double nanoseconds = 0;
  bool exact = false;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(base + "/task", error)) {
    std::ifstream in(task.path() / "schedstat");
    double run = 0;
    if (in >> run) {
      nanoseconds += run;
      exact = true;
    }
  }
  if (exact) return nanoseconds / 1e9;
  std::ifstream in(base + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold blanks and parentheses; the fields follow the last ')'.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Peak resident set size of the process in KiB (VmHWM).
inline long peak_rss_kb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

}  // namespace quarn::bench
