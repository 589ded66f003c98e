// Shared helpers of the rule-engine tests: a collector of the engine's log
// texts and a message whose header values a test sets directly.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "filter/builtins.h"
#include "filter/rule_engine.h"

namespace quarn::testing {

struct LoggedText {
  char level;  // 'E' error logger, 'I' info logger
  std::string text;
};

class LogCollector {
 public:
  explicit LogCollector(RuleLog& log) {
    log.set_error_logger([this](const std::string& t) { texts.push_back({'E', t}); });
    log.set_info_logger([this](const std::string& t) { texts.push_back({'I', t}); });
  }
  explicit LogCollector(RuleEngine& engine) : LogCollector(engine.log()) {}
  LogCollector(const LogCollector&) = delete;
  LogCollector& operator=(const LogCollector&) = delete;

  bool has(std::string_view text) const {
    for (const auto& t : texts) {
      if (t.text == text) return true;
    }
    return false;
  }
  std::vector<std::string> errors() const {
    std::vector<std::string> out;
    for (const auto& t : texts) {
      if (t.level == 'E') out.push_back(t.text);
    }
    return out;
  }

  std::vector<LoggedText> texts;
};

class FakeMessage final : public MessageAccess {
 public:
  void set(std::int32_t index, std::string value) { values[index] = std::move(value); }

  int has_header(std::int32_t index) const override { return values.count(index) ? 1 : 0; }
  std::string_view header(std::int32_t index) const override {
    auto found = values.find(index);
    return found == values.end() ? std::string_view() : std::string_view(found->second);
  }
  std::int32_t header_length(std::int32_t index) const override {
    return static_cast<std::int32_t>(header(index).size());
  }
  void set_header(std::int32_t index, std::string_view text) override {
    values[index] = std::string(text);
    replaced.push_back(index);
  }
  const MessageMarks& marks() const override { return message_marks; }

  std::map<std::int32_t, std::string> values;
  std::vector<std::int32_t> replaced;
  MessageMarks message_marks;
};

}  // namespace quarn::testing
