// The update thread: keeps the engine current while the main thread scans.
//
// Every cycle (5 seconds by default) it looks, in this order, at
//   1. quarncrc.ini: a new modification time reloads the settings and
//      recompiles filter.dat (a missing file is no change; its later
//      appearance is);
//   2. quarncrc.update: a new modification time forces an update run; the
//      file is deleted whenever it is found (its content is never read);
//   3. the schedule (update/update_schedule.h): an update is due when
//      now > last update + UPDATE_INT minutes and AUTO_UPDATE is true;
// then runs the update when due or forced (success: the last update time
// becomes now and filter.dat's modification time is set to now; failure:
// the next attempt is spread over 540 seconds), and finally reads
// quarncrc.pid: another engine's id there ends this process.
//
// Owner: the engine, which creates it after the database file was loaded,
// starts it, and at shutdown asks it to stop and waits a bounded time. The
// thread touches the settings (configuration mutex), the signature database
// (through the update run) and the filter in service (through the recompile
// hook, under the filter mutex); the update state's last-update time is its
// own once it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "support/log.h"
#include "support/settings.h"
#include "support/thread.h"
#include "update/update_state.h"

namespace quarn {

struct UpdateThreadHooks {
  // One update run; 1 for success, 0 for failure.
  std::function<int()> do_update;
  // Compiles filter.dat and puts it in service on success (under the filter
  // mutex, logging its own messages).
  std::function<void()> recompile_filter;
  // Called when another engine owns the pid file. The default logs, raises
  // SIGINT and exits with status 1 should the signal return.
  std::function<void()> on_duplicate;
};

struct UpdateThreadOptions {
  std::string dir;       // working directory prefix; empty: the current one
  int cycle_ms = 5000;   // sleep between cycles
  int own_pid = 0;
  std::uint32_t seed = static_cast<std::uint32_t>(std::time(nullptr));
  // Seconds since 1970.
  std::function<std::int64_t()> clock = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
};

class UpdateThread {
 public:
  UpdateThread(Log& log, Settings& settings, UpdateState& state, UpdateThreadHooks hooks,
               UpdateThreadOptions options);
  ~UpdateThread();
  UpdateThread(const UpdateThread&) = delete;
  UpdateThread& operator=(const UpdateThread&) = delete;

  // Starts the thread; false when it cannot be started.
  bool start();
  // Asks the thread to stop and waits up to `wait_ms`; true once it has
  // ended (and so touches nothing any more).
  bool stop(int wait_ms);

  // One cycle without the sleep (the thread's body; tests call it directly).
  // Returns false when the engine must end (another engine owns the pid file).
  bool cycle();

 private:
  void run();
  std::string path(const char* name) const;

  Log& log_;
  Settings& settings_;
  UpdateState& state_;
  UpdateThreadHooks hooks_;
  const UpdateThreadOptions options_;
  std::optional<std::time_t> config_time_;
  std::time_t trigger_time_ = 0;
  std::mt19937 random_;
  StopSignal stop_;
  std::unique_ptr<ThreadRec> thread_;
};

}  // namespace quarn
