#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "filter/filter_service.h"
#include "filter/rule_listing.h"
#include "support/log.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

class FilterServiceTest : public ::testing::Test {
 protected:
  FilterServiceTest() {
    log_.open(dir_.file("test.log"));
    log_.set_debug_hook(true);
  }
  std::string log_text() {
    log_.flush();
    return dir_.read("test.log");
  }

  TempDir dir_;
  Log log_;
};

TEST_F(FilterServiceTest, CompileMfilterLogsBothOutcomes) {
  FilterService service(log_);
  dir_.write("filter.dat", "accept x\n");
  MutexHold hold(&service.mutex(), kFilterScanWaitMs);
  EXPECT_TRUE(service.compile_mfilter(dir_.file("filter.dat")));
  EXPECT_FALSE(service.compile_mfilter(dir_.file("none.dat")));
  const std::string text = log_text();
  EXPECT_NE(text.find(":Info: compile_mfilter - Filter okay\n"), std::string::npos);
  EXPECT_NE(text.find(":Info: compile_mfilter - Compile failed (" + dir_.file("none.dat") +
                      " probably doesn't exist)\n"),
            std::string::npos);
  // The rule engine logs through the debug hook.
  EXPECT_NE(text.find(":dbg: Compiling " + dir_.file("filter.dat") + "\n"), std::string::npos);
}

TEST_F(FilterServiceTest, FailedReplacementKeepsTheFilterInServiceWhole) {
  FilterService service(log_);
  dir_.write("good.dat",
             "call rexp_fast(2, \"free\\s+money\", money)\n"
             "if (evalflags(\"HIGH_CAPS && !FROMEQTO\")) reject caps\n");
  dir_.write("broken.dat",
             "call rexp_fast(9, other, other)\n"
             "if (evalflags(\"A || B\")) reject ab\n"
             "call (rexp(body, x))\n");
  bool moved = false;
  EXPECT_EQ(service.replace(dir_.file("good.dat"), kFilterReplaceWaitMs, [&] { moved = true; }),
            FilterService::ReplaceResult::kReplaced);
  EXPECT_TRUE(moved);
  RuleFilter* good = service.in_service();
  ASSERT_NE(good, nullptr);
  const std::string before = filter_listing(*good);

  moved = false;
  EXPECT_EQ(service.replace(dir_.file("broken.dat"), kFilterReplaceWaitMs, [&] { moved = true; }),
            FilterService::ReplaceResult::kCompileFailed);
  EXPECT_FALSE(moved);
  EXPECT_EQ(service.in_service(), good);
  EXPECT_EQ(filter_listing(*good), before);
  EXPECT_EQ(good->phrases.size(), 1u);
  EXPECT_EQ(good->expressions.entries().size(), 1u);

  // A successful replacement brings its own tables into service.
  dir_.write("next.dat", "call rexp_fast(1, ab, ab)\ncall rexp_fast(1, cd, cd)\n");
  EXPECT_EQ(service.replace(dir_.file("next.dat")), FilterService::ReplaceResult::kReplaced);
  EXPECT_EQ(service.in_service()->phrases.size(), 2u);
  EXPECT_TRUE(service.in_service()->expressions.entries().empty());
}

TEST_F(FilterServiceTest, ReplacementWaitsForTheMutexWithALimit) {
  FilterService service(log_);
  dir_.write("filter.dat", "accept x\n");
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread scanner([&] {
    MutexHold hold(&service.mutex(), kFilterScanWaitMs);
    held = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(service.replace(dir_.file("filter.dat"), 50), FilterService::ReplaceResult::kTimedOut);
  EXPECT_FALSE(service.load_if_missing(dir_.file("filter.dat"), 50));
  release = true;
  scanner.join();
  EXPECT_EQ(service.in_service(), nullptr);
  EXPECT_TRUE(service.load_if_missing(dir_.file("filter.dat"), 50));
  RuleFilter* loaded = service.in_service();
  EXPECT_TRUE(service.load_if_missing(dir_.file("missing.dat"), 50));
  EXPECT_EQ(service.in_service(), loaded);
}

}  // namespace
}  // namespace quarn::testing
