#include "feed/rules_check.h"

#include "filter/rule_compiler.h"
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

  RuleLog log;
  log.set_error_logger([&problems](const std::string& message) {
    std::string line = message;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    problems.push_back(line);
  });
  log.set_info_logger([](const std::string&) {});
  RuleCompiler compiler(log);
  std::unique_ptr<RuleFilter> filter = compiler.compile(path);
  if (!filter && problems.empty()) problems.push_back(compiler.error());
  return problems;
}

}  // namespace quarn::feed
