#include "feed/rules_check.h"

#include "filter/rule_engine.h"
#include "filter/rule_filter.h"

namespace quarn::feed {
namespace {

constexpr std::size_t kMaxLine = 999;

}  // namespace

std::vector<std::string> check_rules_file(const std::string& path, const std::string& text) {
  std::vector<std::string> problems;
  std::size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    if (line.size() > kMaxLine) {
      problems.push_back("line " + std::to_string(number) + " is longer than 999 characters");
    }
    if (line.find('\0') != std::string_view::npos) {
      problems.push_back("line " + std::to_string(number) + " holds a NUL byte");
    }
    start = end + 1;
  }
  if (!problems.empty()) return problems;

  RuleEngine engine;
  engine.rfilter_emsg([&problems](const std::string& message) {
    std::string line = message;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    problems.push_back(line);
  });
  engine.rfilter_imsg([](const std::string&) {});
  std::unique_ptr<RuleFilter> filter = engine.rfilter_compile(path);
  if (!filter && problems.empty()) problems.push_back(engine.rfilter_error());
  engine.rfilter_free(filter);
  return problems;
}

}  // namespace quarn::feed
