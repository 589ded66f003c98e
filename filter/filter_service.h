// The filter in service: the compiled rules file that every scan runs, the
// filter mutex that guards it, and the rule engine's long-lived resources
// (loggers, timings, `rexpstore` store, match scratch) that its runs use.
//
// Everything here, and everything in the `RuleEngine`, is used only with
// the filter mutex held: a scan waits at most 15 s for it, a replacement
// (the update run after a download, the update thread after a reload) at
// most 10 s. A replacement compiles under the mutex and swaps only when the
// compile succeeds; a failed compile leaves the filter in service, with its
// fast phrases and flag expressions, exactly as it was.
//
// Owner: the engine process, one per process, created at start-up. The
// scanning thread and the update thread both call it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "filter/rule_engine.h"
#include "filter/rule_filter.h"
#include "support/mutex.h"

namespace quarn {

class Log;

inline constexpr int kFilterScanWaitMs = 15000;
inline constexpr int kFilterReplaceWaitMs = 10000;

class FilterService {
 public:
  // Installs `log`'s debug hook as both loggers of the rule engine.
  explicit FilterService(Log& log);
  ~FilterService();
  FilterService(const FilterService&) = delete;
  FilterService& operator=(const FilterService&) = delete;

  MutexRec& mutex() { return mutex_; }
  // The resources runs of the filter in service use. Hold the mutex.
  RuleEngine& engine() { return engine_; }
  // The rule engine's loggers and trace switch. Hold the mutex.
  RuleLog& log() { return engine_.log(); }
  // The time the runs have spent so far (read at shutdown).
  const FilterTimings& timings() { return engine_.timings(); }

  // The filter in service or null. Hold the mutex.
  RuleFilter* in_service() const { return filter_.get(); }

  // Compiles a rules file and logs (info) "compile_mfilter - Filter okay\n"
  // or "compile_mfilter - Compile failed (%s probably doesn't exist)\n".
  // Hold the mutex.
  std::unique_ptr<RuleFilter> compile_mfilter(const std::string& path);

  // Frees the filter in service and puts `filter` in its place. Hold the
  // mutex.
  void put_in_service(std::unique_ptr<RuleFilter> filter);

  enum class ReplaceResult { kReplaced, kCompileFailed, kTimedOut };

  // Waits up to `wait_ms` for the mutex, compiles `path` and, on success,
  // puts the new filter in service and then calls `on_replaced` (still
  // holding the mutex; the update run moves its files there). A time-out or
  // a failed compile keeps the filter in service; the caller logs its own
  // text for either.
  ReplaceResult replace(const std::string& path, int wait_ms = kFilterReplaceWaitMs,
                        const std::function<void()>& on_replaced = {});

  // Start-up: compiles `path` when no filter is in service. True when a
  // filter is in service afterwards; false also when the mutex was not
  // obtained within `wait_ms`.
  bool load_if_missing(const std::string& path, int wait_ms = kFilterReplaceWaitMs);

  // Shutdown: frees the filter in service. Hold the mutex.
  void free_filter();

 private:
  Log& log_;
  MutexRec mutex_{"filter"};
  RuleEngine engine_;
  std::unique_ptr<RuleFilter> filter_;
};

}  // namespace quarn
