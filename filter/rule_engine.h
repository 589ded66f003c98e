// The rule engine: the compiler of rules files and all of the rule engine's
// working state.
//
// `RuleEngine` owns the loggers and trace switch, the current filter (the
// one whose name tables lookups use: the filter being compiled, or the one
// being run), the compiler's line counter, last error text and token list,
// the run state of a filter run (flag values, spam scores, forward copies,
// ...), the timing totals, the `rexpstore` store and the match scratch of
// the regular expressions.
//
// Rules file format (filter.dat and the files it includes), read as text
// (a CR before an LF is dropped), one statement per line:
//
//   - physical lines of at most 9998 characters (a longer line is read in
//     pieces, each counted as a line); a line ending in '\' continues on
//     the next one (joined without a blank) unless its first non-blank
//     character is '#'; a statement may not exceed 9999 characters or 1000
//     tokens (it is logged and dropped);
//   - "#include <path>" at column one reads another file in place (at most
//     10 files suspended); any other line starting with '#' is a comment;
//   - tokens are separated by blanks and tabs; ( ) ! , < > = + are tokens of
//     their own; "..." quotes a token (\" \r \n \\ are escapes);
//   - $name = part + part ...  defines a variable; $name tokens of later
//     lines are replaced by its value; a + b joins two tokens into one;
//   - if (expr [op expr ...]) [and (...)] action  |  call expr [op expr ...]
//     | action  |  else  |  end  |  end recipients; op is < > =; an
//     expression is [!]function(arg, ...) or a number; actions: accept,
//     reject, bounce, drop, print <text>, forward, redirect, redirect_cc
//     <address>, then, recipients, setflag, clearflag, score_one,
//     score_all (name), set, add, sub (name, number).
//
// One engine per process, used only with the filter mutex held (see
// `FilterService`); tests build as many as they like.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <forward_list>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filter/regex.h"
#include "filter/rexp_store.h"
#include "filter/rule_filter.h"
#include "filter/rule_log.h"
#include "filter/spawn.h"
#include "signature/spam_score.h"
#include "support/clock.h"

namespace quarn {

class Log;
class MessageModel;

// One token of a statement and whether it was written in double quotes.
struct RuleToken {
  std::string text;
  bool quoted = false;
};

// Receives a forward copy of an accepted run: the caller's context and the
// address in angle brackets.
using ForwardHook = std::function<void(void* context, std::string_view address)>;

// State of one filter run, reset by the interpreter at the start of a run,
// and the few things the filter seam sets once and runs keep using.
// The time budget of one filter run by default, in milliseconds. The fast
// phrase scan and each condition look at the clock; once the budget is
// spent the scan stops and every later condition reads false (the lines
// without conditions still run), so a scan still answers.
inline constexpr std::int64_t kFilterBudgetMs = 1000;

struct RunState {
  std::array<std::int32_t, kMaxFlags> flags{};  // values by flag index
  SpamScoreList scores;                         // the run's own spam scores
  std::forward_list<std::string> forward_cc;    // forward copies, newest first
  std::int32_t message_length = 0;              // read by size()
  std::string message_path;                     // the message file, for reports
  // The message text of the run in progress (spawn() writes it out); none
  // outside a run.
  std::optional<std::string_view> message_text;
  // The scan's signature-match scores, totalled with the run's own at the
  // end of an accepted run; null when the scan has none.
  const SpamScoreList* match = nullptr;
  // Set by a report() that found "X-MFilter-Report:" in the message file.
  bool message_is_report = false;

  // Kept across runs: the URL list of the message (filled by the model) and
  // a decoded-text buffer for callers whose work buffer is too small.
  std::string urls;
  std::vector<char> decoded_fallback;

  // Set by the filter seam, kept across runs.
  ForwardHook add_fwd;               // forward copies of accepted runs; none: dropped
  Log* process_log = nullptr;        // the engine's log, for spawn()'s child processes
  std::int64_t spawn_limit_ms = kSpawnLimitMs;  // how long spawn() waits for its child
  // Most a run may spend on its phrase scan and conditions (0: no limit).
  std::int64_t budget_ms = kFilterBudgetMs;
  // Programs a rules file from the update server may start (see spawn.h).
  std::string spawn_allow;
  // The filter of the run in progress came from the update server.
  bool rules_downloaded = false;

  // Set at the start of each run (none before the first).
  std::chrono::steady_clock::time_point deadline{};
  bool budget_spent = false;  // later conditions read false
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

// Time spent, in milliseconds; they only accumulate.
struct FilterTimings {
  double total_ms = 0;   // whole runs
  double fast_ms = 0;    // fast phrase scans
  double body_ms = 0;    // regular expressions over "body"
  double header_ms = 0;  // regular expressions over other headers
};

class RuleEngine {
 public:
  RuleEngine();
  ~RuleEngine();
  RuleEngine(const RuleEngine&) = delete;
  RuleEngine& operator=(const RuleEngine&) = delete;

  // ---- Compiler -----------------------------------------------------------
  // Compiles a rules file; null for an empty path, a file that cannot be
  // opened (rfilter_error() tells why) or a failed `call` statement. The new
  // filter is current from its start; after a failure the filter that was
  // current before is current again.
  std::unique_ptr<RuleFilter> rfilter_compile(const std::string& path);
  // Frees a filter (no longer current if it was).
  void rfilter_free(std::unique_ptr<RuleFilter>& filter);
  // "No Error", or "Can't read (%s) (%s)\n" after a file that did not open.
  const std::string& rfilter_error() const { return error_; }
  void rfilter_emsg(RuleLogger logger) { log_.set_error_logger(std::move(logger)); }
  void rfilter_imsg(RuleLogger logger) { log_.set_info_logger(std::move(logger)); }
  void rfilter_trace(bool on) { log_.set_trace(on); }
  RuleLog& log() { return log_; }

  // Most files one compile may open through "#include" (a file that
  // includes itself several times would otherwise take exponential time).
  void set_include_limit(int limit) { include_limit_ = limit; }

  // ---- Names of the current filter ----------------------------------------
  RuleFilter* current_filter() const { return current_; }
  void set_current_filter(RuleFilter* filter) { current_ = filter; }
  // Index of a name in the current filter, adding it when new (0 when the
  // table is full or there is no current filter).
  std::int32_t rf_header_findadd(std::string_view name);
  std::int32_t rf_flag_findadd(std::string_view name);
  // The name at an index of the current filter, or "" when there is none.
  std::string_view header_name(std::int32_t index) const;
  std::string_view flag_name(std::int32_t index) const;

  // ---- Run state ------------------------------------------------------------
  RunState& run() { return run_; }
  const RunState& run() const { return run_; }
  // A flag's value in the current run; indexes outside 0..299 read 0 and
  // are not written.
  std::int32_t rf_flag_get(std::int32_t index) const;
  void rf_setflag(std::int32_t index, std::int32_t value);
  // The current filter's flag expression `number` over the run's flags (0
  // without a current filter or for an unregistered number).
  int rf_expr_eval(std::int32_t number) const;
  // The current filter's fast phrase scan over text[0, length). Returns 1.
  int mf_fast_scan(std::string_view text, std::size_t length);
  // Records a score in the run's spam-score list. Returns 1.
  int rf_spamdetect(float score, std::string_view name);
  // The skip flags of the current filter after a run.
  std::int32_t skip_filter() const;
  std::int32_t skip_from() const;
  std::int32_t skip_dup() const;

  // The message model of the current run (and its add-header hook, which
  // persists across runs).
  MessageModel& model() { return *model_; }
  // The last X-SpamDetect header after its name (at most 199 characters).
  std::string& spamdetect_result() { return spamdetect_result_; }

  FilterTimings& timings() { return timings_; }
  RexpStore& rexp_store() { return rexp_store_; }
  MatchScratch& scratch() { return scratch_; }

  // The physical lines read by the last compile (across included files).
  std::int32_t line_counter() const { return line_counter_; }

 private:
  RuleLog log_;
  RuleFilter* current_ = nullptr;
  std::string error_ = "No Error";
  std::int32_t line_counter_ = 0;
  int include_limit_ = 1000;
  RunState run_;
  std::unique_ptr<MessageModel> model_;
  std::string spamdetect_result_;
  FilterTimings timings_;
  RexpStore rexp_store_;
  MatchScratch scratch_;
};

}  // namespace quarn
