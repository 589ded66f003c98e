#include "filter/filter_run.h"

#include "filter/spam_detect.h"

namespace quarn {

FilterRun::FilterRun(RuleEngine& engine, RuleFilter& filter, RunSinks sinks)
    : engine_(engine), filter_(filter), sinks_(std::move(sinks)) {
  state_.budget_ms = engine.settings().budget_ms;
  state_.rules_downloaded = filter.downloaded;
}

std::int32_t FilterRun::header_index(std::string_view name) {
  return filter_.headers.findadd(name, engine_.log());
}

std::int32_t FilterRun::flag_index(std::string_view name) {
  return filter_.flags.findadd(name, engine_.log());
}

std::string_view FilterRun::header_name(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= filter_.headers.size()) return {};
  return filter_.headers.name(static_cast<std::size_t>(index));
}

std::string_view FilterRun::flag_name(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= filter_.flags.size()) return {};
  return filter_.flags.name(static_cast<std::size_t>(index));
}

std::int32_t FilterRun::flag(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= kMaxFlags) return 0;
  return state_.flags[static_cast<std::size_t>(index)];
}

void FilterRun::set_flag(std::int32_t index, std::int32_t value) {
  if (index < 0 || static_cast<std::size_t>(index) >= kMaxFlags) return;
  state_.flags[static_cast<std::size_t>(index)] = value;
}

int FilterRun::eval_expression(std::int32_t number) const {
  return filter_.expressions.eval(number, state_.flags);
}

int FilterRun::fast_scan(std::string_view text, std::size_t length) {
  return filter_.phrases.scan(text, length, *this);
}

int FilterRun::add_score(float score, std::string_view name) {
  return rf_spamdetect(state_.scores, score, name, engine_.log());
}

}  // namespace quarn
