#include "filter/interpreter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "filter/builtins.h"
#include "filter/filter_run.h"
#include "filter/rewrite.h"
#include "filter/rule_engine.h"
#include "filter/spam_detect.h"
#include "message/message_model.h"
#include "support/clock.h"
#include "support/text.h"

namespace quarn {
namespace {

constexpr std::size_t kTraceLineLimit = 1000;
constexpr std::size_t kLastBounceShown = 100;

// Where the walk goes after a line.
struct Step {
  enum Kind { kNext, kGoto, kEnd, kBounceAll } kind = kNext;
  std::size_t target = 0;
};

const char* true_false(std::int32_t value) { return value != 0 ? "TRUE" : "FALSE"; }

std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t wrapping_sub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// One walk over the lines of a filter for one message.
class Walk {
 public:
  Walk(FilterRun& run, RecipientList& recipients, std::string& result, void* context)
      : run_(run),
        log_(run.log()),
        model_(run.model()),
        lines_(run.filter().lines),
        recipients_(recipients),
        result_(result),
        context_(context),
        run_context_{run, run.model()} {}

  int run();

 private:
  Step apply(const RuleLine& line);
  bool evaluate(const RuleLine& line);
  // True when the run's budget is spent; the first line to find it so is
  // noted for the seam's log line.
  bool over_budget(const RuleLine& line);
  std::int32_t value_of(const RuleExpr& expr);
  void set_result(const RuleLine& line);
  Step bounce();
  Step next_recipient();
  void take_display();
  Step forward(std::string_view argument);
  int finish();
  int bounce_all();
  void release();

  FilterRun& run_;
  RuleLog& log_;
  MessageModel& model_;
  const std::vector<RuleLine>& lines_;
  RecipientList& recipients_;
  std::string& result_;
  void* context_;
  RunContext run_context_;

  std::size_t pc_ = 0;
  std::int32_t skip_ = 0;
  std::optional<std::size_t> current_;  // the current recipient, inside a recipients block
  std::size_t block_start_ = 0;         // the RECIPIENTS line being repeated
  std::string display_;                 // the current recipient's display name
  bool drop_ = false;
  std::string last_bounce_;
};

int Walk::run() {
  bool ran_off_end = false;
  for (;;) {
    if (pc_ >= lines_.size()) {
      ran_off_end = true;
      break;
    }
    const RuleLine& line = lines_[pc_];
    if (log_.trace_on() && line.line_text.size() < kTraceLineLimit) {
      log_.trace("rrun: %.90saction=%.90s Line: %.40s...\n", skip_ > 0 ? "SKIP " : "",
                 action_name(line.action), line.line_text.c_str());
    }
    if (skip_ > 0) {
      // Only the block structure counts while a block is skipped.
      if (line.action == A_THEN) {
        ++skip_;
      } else if (line.action == A_ENDIF) {
        --skip_;
      } else if (line.action == A_ELSE && skip_ == 1) {
        skip_ = 0;
      }
      ++pc_;
      continue;
    }
    Step step;
    if (line.action == A_ELSE) {
      skip_ = 1;  // the then-branch has run: skip the else-branch
    } else if (line.exprs.empty()) {
      step = apply(line);
    } else if (line.action == A_THEN) {
      if (!evaluate(line)) skip_ = 1;
    } else if (evaluate(line)) {
      step = apply(line);
    }
    switch (step.kind) {
      case Step::kNext:
        ++pc_;
        continue;
      case Step::kGoto:
        pc_ = step.target;
        continue;
      case Step::kEnd:
        break;
      case Step::kBounceAll:
        return bounce_all();
    }
    break;
  }
  if (ran_off_end) log_.trace("rfilter: No rules applied, so accepting\n");
  return finish();
}

std::int32_t Walk::value_of(const RuleExpr& expr) {
  std::int32_t value = run_expr(run_context_, expr);
  if (expr.negate != 0) value = value == 0 ? 1 : 0;
  log_.trace("rrun: Expression Result=%s %d\n", true_false(value), value);
  return value;
}

bool Walk::over_budget(const RuleLine& line) {
  RunState& run = run_.state();
  if (!run.over_budget()) return false;
  if (run.budget_spent_at.empty()) {
    run.budget_spent_at = lprintf(kLineSize, "line %d (%.90s)", line.line_number,
                                  std::string(stripcrlf(line.line_text)).c_str());
  }
  return true;
}

// Expressions and comparisons are joined by "and"; the first false part
// ends the evaluation. A comparison's right-hand expression has its own
// operator ignored.
bool Walk::evaluate(const RuleLine& line) {
  const std::vector<RuleExpr>& exprs = line.exprs;
  std::size_t k = 0;
  while (k < exprs.size()) {
    // Past the run's budget a condition reads false without being tried.
    if (over_budget(line)) return false;
    const RuleExpr& left = exprs[k];
    std::int32_t holds = value_of(left);
    if (left.op != kOpAnd && k + 1 < exprs.size()) {
      const std::int32_t left_value = holds;
      const std::int32_t right_value = value_of(exprs[k + 1]);
      switch (left.op) {
        case kOpLessThan:
          holds = left_value < right_value ? 1 : 0;
          break;
        case kOpGreaterThan:
          holds = left_value > right_value ? 1 : 0;
          break;
        case kOpEquals:
          holds = left_value == right_value ? 1 : 0;
          break;
        default:
          holds = 0;
          break;
      }
      log_.trace("rrun: Result %s %d %.90s %d\n", true_false(left_value), left_value,
                 operator_name(left.op), right_value);
      k += 2;
    } else {
      k += 1;
    }
    if (holds == 0) return false;
  }
  return !over_budget(line);
}

void Walk::set_result(const RuleLine& line) {
  result_ = lprintf(kLineSize, "line %d: %.200s", line.line_number,
                    line.argument ? line.argument->c_str() : "");
}

Step Walk::apply(const RuleLine& line) {
  const char* argument = line.argument ? line.argument->c_str() : "";
  switch (line.action) {
    case A_ACCEPT:
      // Recipients not bounced so far stay accepted, also those the block
      // has not reached yet.
      set_result(line);
      return Step{Step::kEnd};
    case A_REJECT:
      set_result(line);
      return bounce();
    case DROP:
      set_result(line);
      drop_ = true;
      return bounce();
    case PRINT:
      log_.emsg("PRINT line %d:%.90s\n", line.line_number, argument);
      break;
    case SETFLAG:
      run_.set_flag(line.flag, 1);
      break;
    case CLEARFLAG:
      run_.set_flag(line.flag, 0);
      break;
    case SET:
      run_.set_flag(line.flag, line.value);
      break;
    case ADD:
      run_.set_flag(line.flag, wrapping_add(run_.flag(line.flag), line.value));
      break;
    case SUB:
      run_.set_flag(line.flag, wrapping_sub(run_.flag(line.flag), line.value));
      break;
    case SCORE_ONE:
    case SCORE_ALL:
      // The engine has no part scores to add: the flag keeps its value.
      break;
    case FORWARD:
      result_ = lprintf(kLineSize, "line %d: forward %.200s", line.line_number, argument);
      return forward(argument);
    case REDIRECT_CC:
      forward_cc_add(run_, argument);
      break;
    case RECIPIENTS:
      block_start_ = pc_;
      current_ = 0;
      take_display();
      break;
    case RECIPIENTS_END:
      // Outside a block there is no recipient to move on from.
      if (current_) {
        drop_ = false;
        return next_recipient();
      }
      break;
    default:
      break;
  }
  return Step{};
}

void Walk::take_display() {
  display_ = std::string(ncpy(rf_original(recipients_[*current_]), kLineSize - 1));
  model_.set_recipient(display_);
  log_.imsg("recipient %s\n", log_escaped(display_).c_str());
}

Step Walk::bounce() {
  if (!current_) return Step{Step::kBounceAll};
  log_.imsg("Bounce mfilter %.100s %.100s\n", display_.c_str(), result_.c_str());
  rf_set_bounce(&recipients_[*current_],
                lprintf(kLineSize, drop_ ? "999 %.100s %.100s" : "570 %.100s %.100s",
                        display_.c_str(), result_.c_str()),
                log_);
  last_bounce_ = std::string(ncpy(result_, kLineSize - 1));
  return next_recipient();
}

Step Walk::next_recipient() {
  if (*current_ + 1 < recipients_.size()) {
    current_ = *current_ + 1;
    take_display();
    drop_ = false;
    return Step{Step::kGoto, block_start_ + 1};
  }
  current_.reset();
  for (std::size_t i = pc_; i < lines_.size(); ++i) {
    if (lines_[i].action == RECIPIENTS_END) return Step{Step::kGoto, i + 1};
  }
  return Step{Step::kEnd};
}

Step Walk::forward(std::string_view argument) {
  const std::string address = bracket_address(argument);
  auto redirect = [&address](Recipient& recipient) {
    recipient.address = address;
    recipient.bounce.reset();
    recipient.display.reset();
  };
  if (current_) {
    redirect(recipients_[*current_]);
    return Step{Step::kEnd};
  }
  // The rules file name of the filter layer, which the engine leaves empty.
  log_.imsg("Warning, undefined results, forward should be in a recipient block in %s\n", "");
  redirect(recipients_.front());
  for (std::size_t i = 1; i < recipients_.size(); ++i) {
    Recipient& other = recipients_[i];
    rf_set_bounce(&other,
                  lprintf(kLineSize, "999 %.100s %.100s", rf_original(other).c_str(),
                          result_.c_str()),
                  log_);
  }
  return Step{Step::kEnd};
}

int Walk::finish() {
  RunState& run = run_.state();
  if (log_.trace_on()) {
    for (const Recipient& r : recipients_) {
      log_.trace("Recipient (%.90s) %.90s %.50s\n", r.address.c_str(),
                 r.bounced != 0 ? "Bounced" : "Accepted", r.bounce ? r.bounce->c_str() : "");
    }
  }
  bool accepted = !run.forward_cc.empty();
  for (const Recipient& r : recipients_) accepted = accepted || r.bounced == 0;
  if (!accepted) {
    log_.imsg("Boucing message immediately as all recipients were bounced\n");
    if (!last_bounce_.empty()) result_ = std::string(ncpy(last_bounce_, kLastBounceShown));
    return bounce_all();
  }
  for (const std::string& address : run.forward_cc) {
    if (rf_already_sending(recipients_, address) == 0 && run_.sinks().forward) {
      run_.sinks().forward(context_, address);
    }
  }
  rf_spamdetect_do(run_, run.match);
  if (!run_.sinks().add_header) {
    if (model_.headers_changed()) rf_rewrite_message(run_);
  } else {
    model_.reset_added_headers();
  }
  release();
  return 1;
}

int Walk::bounce_all() {
  const std::string name = rf_original(recipients_[current_.value_or(0)]);
  log_.imsg("Bounced mfilter %.100s %.100s\n", name.c_str(), result_.c_str());
  const std::string text =
      lprintf(kLineSize, drop_ ? "999 Drop %.200s" : "570 Bounced %.200s", result_.c_str());
  for (Recipient& r : recipients_) rf_set_bounce(&r, text, log_);
  release();
  return 0;
}

void Walk::release() {
  rf_spamdetect_free(run_);
  model_.clear();
  rf_forward_cc_free(run_);
  run_.state().message_text.reset();
}

}  // namespace

void build_model(FilterRun& run, std::string_view message, std::span<char> decoded) {
  // The flag names the model can set are registered in this order, so a
  // filter's flag table reads the same whatever the message.
  run.set_flag(run.flag_index("html_encoded"), 0);
  run.state().flags.fill(0);
  run.set_flag(run.flag_index("__UNUSABLE_MSGID"), 0);
  MessageModel& model = run.model();
  model.build(message, decoded, run.engine().urls(), run.filter().headers.names());
  const HeuristicFlags& flags = model.heuristic_flags();
  for (std::size_t i = 0; i < flags.count; ++i) {
    run.set_flag(run.flag_index(flags.names[i]), 1);
  }
  run.header_index("to");
}

int set_fromeqto(FilterRun& run) {
  const std::int32_t to_index = run.header_index("to");
  const std::int32_t from_index = run.header_index("from");
  if (run.model().from_in_to(to_index, from_index) == 0) return 0;
  run.set_flag(run.flag_index("FROMEQTO"), 1);
  return 1;
}

int rf_forward_cc_free(FilterRun& run) {
  run.state().forward_cc.clear();
  return 1;
}

int rfilter_run(FilterRun& run, void* context, std::span<char> text, std::span<char> work,
                std::int32_t length, RecipientList& recipients, std::string_view path,
                std::string& result, const SpamScoreList* match) {
  RuleEngine& engine = run.engine();
  const double start = clock_ms();
  // Every call counts in the total, also one that cannot run.
  auto timed = [&engine, start](int accepted) {
    engine.timings().total_ms += clock_ms() - start;
    return accepted;
  };
  RuleLog& log = run.log();
  if (recipients.empty()) {
    log.emsg("rrun: No 'To:' addresses specified, cannot run filter\n");
    log.imsg("rrun: No 'To:' addresses specified, cannot run filter\n");
    return timed(0);
  }
  if (text.empty()) return timed(0);

  RunState& state = run.state();
  result = "No Rule Applied";
  const auto capacity = static_cast<std::int64_t>(text.size()) - 1;
  const auto cut = static_cast<std::size_t>(std::clamp<std::int64_t>(length, 0, capacity));
  state.message_length = static_cast<std::int32_t>(cut);
  text[cut] = '\0';
  rf_forward_cc_free(run);
  state.flags.fill(0);
  state.match = match;
  state.message_is_report = false;
  state.message_path = std::string(ncpy(path, kLineSize - 1));
  const std::string_view message = cstr_view(std::string_view(text.data(), cut));
  state.message_text = message;
  state.budget_spent = false;
  state.budget_spent_at.clear();
  state.rules_downloaded = run.filter().downloaded;
  state.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(state.budget_ms);

  MessageModel& model = run.model();
  model.set_recipient("");
  std::span<char> decoded = work;
  if (decoded.size() < MessageModel::kDecodedSize) {
    engine.decoded_fallback().resize(MessageModel::kDecodedSize);
    decoded = engine.decoded_fallback();
  }
  decoded = decoded.first(MessageModel::kDecodedSize);
  decoded[0] = '\0';
  build_model(run, message, decoded);

  const double fast_start = clock_ms();
  const std::size_t decoded_text = strnlen(decoded.data(), decoded.size());
  const std::size_t scan_length = std::min(decoded_text, model.decoded_length());
  run.fast_scan(std::string_view(decoded.data(), scan_length), scan_length);
  engine.timings().fast_ms += clock_ms() - fast_start;

  set_fromeqto(run);

  Walk walk(run, recipients, result, context);
  return timed(walk.run());
}

}  // namespace quarn
