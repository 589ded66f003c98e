#include "engine/quarncrc.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "engine/command_reader.h"
#include "engine/engine.h"
#include "support/clock.h"
#include "support/file.h"
#include "support/pid_file.h"
#include "support/text.h"
#include "support/version.h"

namespace quarn {
namespace {

constexpr const char* kStatusFile = "quarncrc.status";

// Writes a whole response block, flushed unless `more` says the next
// command is already at hand; false when standard output is gone.
bool write_response(const std::string& block, bool more) {
  if (!block.empty() && std::fwrite(block.data(), 1, block.size(), stdout) != block.size()) {
    return false;
  }
  return more || std::fflush(stdout) == 0;
}

}  // namespace

int quarncrc_main(int argc, char** argv) {
  const double start = clock_ms();
  EngineOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (starts_with_nc(arg, "--test")) options.test_mode = true;
    if (starts_with_nc(arg, "--version")) {
      std::printf("%s %s\n", kProductName, kBuildDate);
      return 1;
    }
  }
  // The mail server may go away at any time: a write to the closed pipe then
  // fails with EPIPE and ends the loop instead of killing the process.
  std::signal(SIGPIPE, SIG_IGN);
  options.pid = static_cast<int>(::getpid());

  writepid(kPidFile, options.pid);
  remove_file(kStatusFile);

  Engine engine(options);
  if (!engine.quarncrc_init()) return 1;
  engine.log().imsg("Waiting for first command\n");
  const double init_seconds = (clock_ms() - start) / 1000.0;

  CommandReader reader(stdin);
  std::string command;
  while (reader.next(command)) {
    if (engine.do_command(command) < 0) break;
    if (!write_response(engine.response().text(), reader.line_buffered())) break;
  }
  std::fflush(stdout);

  const int messages = engine.quarncrc_cleanup();
  const double runtime = (clock_ms() - start) / 1000.0;
  if (options.test_mode) {
    const Counters& c = engine.counters();
    std::fprintf(stderr, "Finished - Database contains %d message%s\n", messages,
                 messages == 1 ? "" : "s");
    const double per_second =
        runtime > 0 ? (static_cast<double>(c.late_checked) + c.scanned) / runtime : 0.0;
    std::fprintf(stderr,
                 "QuarnCRC Timing - Runtime: %2.1fs CRC generation: %2.1fs Initialisation: "
                 "%2.1fs Messages per second: %2.1f\n",
                 runtime, engine.crc_generation_ms() / 1000.0, init_seconds, per_second);
    const FilterTimings& t = engine.filter().timings();
    std::fprintf(stderr,
                 "Mfilter timing - mf_clock_total %2.1f mf_clock_fast %2.1fs mf_clock_body "
                 "%2.1fs mf_clock_header %2.1fs\n",
                 t.total_ms / 1000.0, t.fast_ms / 1000.0, t.body_ms / 1000.0,
                 t.header_ms / 1000.0);
  }
  remove_file(kPidFile);
  if (!engine.safe_to_destroy()) {
    // The update thread is still inside a network run and may touch the
    // engine's state: end the process without destroying it.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
  }
  return 0;
}

}  // namespace quarn
