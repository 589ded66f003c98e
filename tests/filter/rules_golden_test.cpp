// Golden files of the rules compiler. Each folder under tests/data/rules
// holds a filter.dat (and the files it includes) and expected.txt: the
// compile's outcome, every text it logged and the listing of the filter.
// Run with QUARN_REGEN_GOLDEN=1 to rewrite the expected files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "filter/rule_compiler.h"
#include "filter/rule_engine.h"
#include "filter/rule_listing.h"
#include "tests/filter/rule_test_util.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

namespace fs = std::filesystem;

fs::path golden_root() { return fs::path(QUARN_SOURCE_DIR) / "tests" / "data" / "rules"; }

std::vector<std::string> golden_cases() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(golden_root())) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string compile_report(const fs::path& dir) {
  ScopedCwd cwd(dir);
  RuleLog rule_log;
  LogCollector log(rule_log);
  rule_log.set_trace(true);
  RuleCompiler compiler(rule_log);
  auto filter = compiler.compile("filter.dat");
  std::string out = filter ? "result ok\n" : "result failed\n";
  out += "error " + quote_text(compiler.error()) + "\n";
  out += "lines read " + std::to_string(compiler.line_counter()) + "\n";
  out += "messages\n";
  for (const auto& t : log.texts) {
    out += std::string("  ") + t.level + " " + quote_text(t.text) + "\n";
  }
  if (filter) out += filter_listing(*filter);
  return out;
}

class RulesGolden : public ::testing::TestWithParam<std::string> {};

TEST_P(RulesGolden, CompileMatchesExpected) {
  const fs::path dir = golden_root() / GetParam();
  const std::string actual = compile_report(dir);
  const std::string expected_path = (dir / "expected.txt").string();
  if (std::getenv("QUARN_REGEN_GOLDEN") != nullptr) {
    write_file(expected_path, actual);
    GTEST_SKIP() << "rewrote " << expected_path;
  }
  EXPECT_EQ(read_file(expected_path), actual) << "golden case " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Rules, RulesGolden, ::testing::ValuesIn(golden_cases()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace quarn::testing
