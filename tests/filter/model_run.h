// A rule engine with a filter of its own and the buffers a run needs, for
// tests of the filter-side parts that work on the engine's message model.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter_run.h"
#include "filter/interpreter.h"
#include "filter/rule_engine.h"
#include "message/message_model.h"

namespace quarn::testing {

class EngineModelRun {
 public:
  EngineModelRun() = default;
  EngineModelRun(const EngineModelRun&) = delete;
  EngineModelRun& operator=(const EngineModelRun&) = delete;

  MessageModel& model() { return engine.model(); }

  // Registers header names (as a rules file naming them would).
  void names(std::span<const std::string_view> list) {
    for (std::string_view name : list) filter_run.header_index(name);
  }
  void names(std::initializer_list<std::string_view> list) {
    names(std::span<const std::string_view>(list.begin(), list.size()));
  }
  std::int32_t index(std::string_view name) const {
    return filter.headers.find(normalize_name(name));
  }

  void process(std::string_view message) { build_model(filter_run, message, decoded); }

  // The value of a registered header name ("" for an unknown name).
  std::string value(std::string_view name) {
    return std::string(engine.model().header(index(name)));
  }
  bool exists(std::string_view name) {
    const std::int32_t i = index(name);
    return i >= 0 && engine.model().has_header(i) == 1;
  }
  // A flag's value; 0 for a name that is not registered.
  std::int32_t flag(std::string_view name) const {
    return filter_run.flag(filter.flags.find(normalize_name(name)));
  }
  // The names of the flags that are not 0, in table order, blank-separated.
  std::string flags_set() const {
    std::string text;
    for (std::size_t i = 0; i < filter.flags.size(); ++i) {
      if (filter_run.flag(static_cast<std::int32_t>(i)) == 0) continue;
      if (!text.empty()) text += ' ';
      text += filter.flags.name(i);
    }
    return text;
  }

  // Declared before the run, which refers to them.
  RuleFilter filter;
  RuleEngine engine;
  FilterRun filter_run{engine, filter};
  std::vector<char> decoded = std::vector<char>(MessageModel::kDecodedSize);
  std::string urls;
};

}  // namespace quarn::testing
