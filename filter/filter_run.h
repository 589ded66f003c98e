// One filter run: the state of one message going through one filter.
//
// A `FilterRun` is built by whoever runs a filter (the filter seam, the
// tool, a test) for one message, over the filter and the engine's
// long-lived resources, with the sinks of that call: where forward copies
// and added header lines go, and the log spawn()'s child processes write
// to. It holds the flag values, the run's own spam scores, the forward
// copies, the message text and path, the budget and deadline. The sinks
// are the caller's and live as long as the run; nothing of the call is left
// behind on the engine when the run ends.
//
// The filter and the engine must outlive the run. Header and flag names a
// run registers (the model and the phrase scan add the names they set) go
// into the run's filter. Used under the filter mutex, by one thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <forward_list>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "filter/rule_engine.h"
#include "filter/rule_filter.h"
#include "signature/spam_score.h"
#include "support/clock.h"

namespace quarn {

class Log;
class MessageModel;

// Where a run hands what it produces; an empty sink drops forward copies,
// and without an add-header sink header changes rewrite the message file.
struct RunSinks {
  // A forward copy of an accepted run: the caller's context and the address
  // in angle brackets.
  std::function<void(void* context, std::string_view address)> forward;
  // A header line (without line end) an accepted run adds.
  std::function<void(std::string_view line)> add_header;
  // The log spawn()'s child processes write to; none: standard error.
  Log* process_log = nullptr;
};

// The values of a run, reset at its start.
struct RunState {
  std::array<std::int32_t, kMaxFlags> flags{};  // values by flag index
  SpamScoreList scores;                         // the run's own spam scores
  std::forward_list<std::string> forward_cc;    // forward copies, newest first
  std::int32_t message_length = 0;              // read by size()
  std::string message_path;                     // the message file, for reports
  // The message text of the run in progress (spawn() writes it out); none
  // before the run starts and after it ends.
  std::optional<std::string_view> message_text;
  // The scan's signature-match scores, totalled with the run's own at the
  // end of an accepted run; null when the scan has none.
  const SpamScoreList* match = nullptr;
  // Set by a report() that found "X-MFilter-Report:" in the message file.
  bool message_is_report = false;
  // The filter came from the update server.
  bool rules_downloaded = false;

  // Most the run may spend (0: no limit), and its deadline once started.
  std::int64_t budget_ms = kFilterBudgetMs;
  std::chrono::steady_clock::time_point deadline{};
  bool budget_spent = false;    // later conditions read false
  std::string budget_spent_at;  // the rule or phrase at which it was spent
  // True once the run has used up its budget (read at the clock's tick:
  // asked before every condition, it must cost next to nothing).
  bool over_budget() {
    if (!budget_spent && budget_ms > 0 && deadline != std::chrono::steady_clock::time_point{} &&
        coarse_now() > deadline) {
      budget_spent = true;
    }
    return budget_spent;
  }
};

class FilterRun {
 public:
  // The budget is taken from the engine's settings; the run starts when
  // rfilter_run is called with it.
  FilterRun(RuleEngine& engine, RuleFilter& filter, RunSinks sinks = {});
  FilterRun(const FilterRun&) = delete;
  FilterRun& operator=(const FilterRun&) = delete;

  RuleEngine& engine() const { return engine_; }
  RuleFilter& filter() const { return filter_; }
  RuleLog& log() const { return engine_.log(); }
  MessageModel& model() const { return engine_.model(); }
  const RunSinks& sinks() const { return sinks_; }
  RunState& state() { return state_; }
  const RunState& state() const { return state_; }

  // Index of a header or flag name in the run's filter, adding it when new
  // (0 when the table is full).
  std::int32_t header_index(std::string_view name);
  std::int32_t flag_index(std::string_view name);
  // The name at an index of the run's filter, or "" when there is none.
  std::string_view header_name(std::int32_t index) const;
  std::string_view flag_name(std::int32_t index) const;

  // A flag's value; indexes outside 0..299 read 0 and are not written.
  std::int32_t flag(std::int32_t index) const;
  void set_flag(std::int32_t index, std::int32_t value);
  // The filter's flag expression `number` over the run's flags (0 for an
  // unregistered number).
  int eval_expression(std::int32_t number) const;
  // The filter's fast phrase scan over text[0, length). Returns 1.
  int fast_scan(std::string_view text, std::size_t length);
  // Records a score in the run's spam-score list. Returns 1.
  int add_score(float score, std::string_view name);
  // The filter's skip flags after the run.
  std::int32_t skip_filter() const { return flag(filter_.skip_filter_flag); }
  std::int32_t skip_from() const { return flag(filter_.skip_from_flag); }
  std::int32_t skip_dup() const { return flag(filter_.skip_dup_flag); }

 private:
  RuleEngine& engine_;
  RuleFilter& filter_;
  RunSinks sinks_;
  RunState state_;
};

}  // namespace quarn
