#include "update/update_thread.h"

#include <unistd.h>

#include <csignal>

#include "support/file.h"
#include "support/pid_file.h"
#include "update/update_schedule.h"

namespace quarn {
namespace {

constexpr const char* kConfigFile = "quarncrc.ini";
constexpr const char* kTriggerFile = "quarncrc.update";
constexpr const char* kFilterFile = "filter.dat";

}  // namespace

UpdateThread::UpdateThread(Log& log, Settings& settings, UpdateState& state,
                           UpdateThreadHooks hooks, UpdateThreadOptions options)
    : log_(log),
      settings_(settings),
      state_(state),
      hooks_(std::move(hooks)),
      options_(std::move(options)),
      random_(options_.seed) {
  if (auto st = stat_file(path(kConfigFile))) config_time_ = st->mtime;
  if (!hooks_.on_duplicate) {
    hooks_.on_duplicate = [] {
      std::raise(SIGINT);
      ::_exit(1);
    };
  }
}

UpdateThread::~UpdateThread() { stop(0); }

std::string UpdateThread::path(const char* name) const {
  return options_.dir.empty() ? std::string(name) : options_.dir + "/" + name;
}

bool UpdateThread::start() {
  thread_ = th_new([this] { run(); });
  return thread_ != nullptr;
}

bool UpdateThread::stop(int wait_ms) {
  stop_.request();
  if (!thread_) return true;
  if (!thread_->join_for(wait_ms)) return false;
  thread_.reset();
  return true;
}

void UpdateThread::run() {
  while (!stop_.requested()) {
    if (!cycle()) {
      hooks_.on_duplicate();
      return;
    }
    stop_.sleep_for(options_.cycle_ms);
  }
}

bool UpdateThread::cycle() {
  // 1. Settings. A reload that cannot get the configuration mutex is tried
  // again at once; the mutex wait itself spaces the attempts.
  while (true) {
    auto st = stat_file(path(kConfigFile));
    if (!st || (config_time_ && *config_time_ == st->mtime)) break;
    if (settings_.reload() == 0) {
      if (stop_.requested()) return true;
      continue;
    }
    if (hooks_.recompile_filter) hooks_.recompile_filter();
    config_time_ = st->mtime;
    break;
  }

  // 2. Trigger file.
  bool forced = false;
  const std::string trigger = path(kTriggerFile);
  if (auto st = stat_file(trigger)) {
    forced = st->mtime != trigger_time_;
    trigger_time_ = st->mtime;
    if (forced) log_.imsg("quarncrc.update found or modification date changed, forcing update\n");
    remove_file(trigger);
  }

  // 3. Schedule.
  const UpdateSchedule schedule{settings_.get_int(IniKey::UPDATE_INT), kThreadRetrySpread};
  const bool due = schedule.due(state_.last_update, options_.clock()) &&
                   settings_.is_true(IniKey::AUTO_UPDATE);

  // 4. Update. The outcome is timed by the clock after the run, which may
  // have taken a while.
  if ((due || forced) && hooks_.do_update) {
    if (hooks_.do_update() == 1) {
      const std::int64_t done = options_.clock();
      state_.last_update = UpdateSchedule::after_success(done);
      touch_file(path(kFilterFile), static_cast<std::time_t>(done));
    } else {
      log_.emsg("Update failed!, rescheduling\n");
      state_.last_update = schedule.after_failure(options_.clock(), random_());
    }
  }

  // 5. Another engine in this directory.
  if (readpid(path(kPidFile), options_.own_pid) != options_.own_pid) {
    log_.emsg("Duplicate QuarnCRC running! Terminating\n");
    return false;
  }
  return true;
}

}  // namespace quarn
