// The rule engine's long-lived resources: what outlives every compile and
// every run.
//
// `RuleEngine` owns the loggers and trace switch, the settings runs keep
// using (spawn limits and allow-list, the time budget), the message model
// that each run rebuilds for its message (its buffers are reused), the
// timing totals, the `rexpstore` store, the match scratch of the regular
// expressions and the last X-SpamDetect result.
//
// It holds no filter and no run: a compile (`RuleCompiler`) returns its
// `RuleFilter`, and a run (`FilterRun`, filter/filter_run.h) is built for
// one message over a filter and this engine, with the sinks of its caller.
//
// One engine per process, used only with the filter mutex held (see
// `FilterService`); tests build as many as they like.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filter/regex.h"
#include "filter/rexp_store.h"
#include "filter/rule_log.h"
#include "filter/spawn.h"

namespace quarn {

class MessageModel;

// The time budget of one filter run by default, in milliseconds. The fast
// phrase scan and each condition look at the clock; once the budget is
// spent the scan stops and every later condition reads false (the lines
// without conditions still run), so a scan still answers.
inline constexpr std::int64_t kFilterBudgetMs = 1000;

// Settings every run reads; the filter seam sets them from its options.
struct RunSettings {
  std::int64_t spawn_limit_ms = kSpawnLimitMs;  // how long spawn() waits for its child
  // Most a run may spend on its phrase scan and conditions (0: no limit).
  std::int64_t budget_ms = kFilterBudgetMs;
  // Programs a rules file from the update server may start (see spawn.h).
  std::string spawn_allow;
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

  // The error and info loggers and the trace switch of compiles and runs.
  RuleLog& log() { return log_; }
  RunSettings& settings() { return settings_; }
  const RunSettings& settings() const { return settings_; }

  // The message model a run rebuilds for its message.
  MessageModel& model() { return *model_; }
  // The last X-SpamDetect header after its name (at most 199 characters).
  std::string& spamdetect_result() { return spamdetect_result_; }

  FilterTimings& timings() { return timings_; }
  RexpStore& rexp_store() { return rexp_store_; }
  MatchScratch& scratch() { return scratch_; }

  // Buffers runs reuse: the URL list of the message (filled by the model)
  // and a decoded-text buffer for callers whose work buffer is too small.
  std::string& urls() { return urls_; }
  std::vector<char>& decoded_fallback() { return decoded_fallback_; }

 private:
  RuleLog log_;
  RunSettings settings_;
  std::unique_ptr<MessageModel> model_;
  std::string spamdetect_result_;
  FilterTimings timings_;
  RexpStore rexp_store_;
  MatchScratch scratch_;
  std::string urls_;
  std::vector<char> decoded_fallback_;
};

}  // namespace quarn
