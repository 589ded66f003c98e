// The update schedule's arithmetic, and the update thread run on a fake
// clock through a failure and its retry.
#include "update/update_schedule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>

#include "tests/testing/temp_dir.h"
#include "update/update_thread.h"

namespace quarn {
namespace {

TEST(UpdateSchedule, DueOnlyOnceTheIntervalHasPassed) {
  struct Case {
    std::int64_t interval;
    std::int32_t last;
    std::int64_t now;
    bool due;
  };
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  const Case cases[] = {
      {20, 1000, 1000 + 1200, false},  // exactly the interval: not yet
      {20, 1000, 1000 + 1201, true},
      {0, 1000, 1000, false},
      {0, 1000, 1001, true},
      {20, 5000, 1000, false},               // a last update in the future
      {kMax, 0, kMax, false},                // no 32-bit wrap into the past
      {20, kMax, std::int64_t{kMax} + 1201, true},
      {-1, 1000, 941, true},                 // a negative interval: due early
  };
  for (const Case& c : cases) {
    EXPECT_EQ((UpdateSchedule{c.interval, 240}.due(c.last, c.now)), c.due)
        << c.interval << " " << c.last << " " << c.now;
  }
}

TEST(UpdateSchedule, FailureTakesTheIntervalAsSecondsPlusASpread) {
  const UpdateSchedule schedule{30, 240};
  EXPECT_EQ(schedule.after_failure(100000, 0), 100000 - 30 + 60);
  EXPECT_EQ(schedule.after_failure(100000, 239), 100000 - 30 + 60 + 239);
  EXPECT_EQ(schedule.after_failure(100000, 240), 100000 - 30 + 60);  // modulo the width
  EXPECT_EQ(schedule.after_failure(100000, 0xFFFFFFFFu), 100000 - 30 + 60 + 0xFFFFFFFFu % 240);
  EXPECT_EQ((UpdateSchedule{30, 0}.after_failure(100000, 7)), 100000 - 30 + 60);
  EXPECT_EQ(UpdateSchedule::after_success(100000), 100000);
  // The retry comes a little over one interval after the failure.
  const std::int32_t last = schedule.after_failure(100000, 10);
  EXPECT_FALSE(schedule.due(last, 100000 + 30 * 60 - 30 + 60 + 10));
  EXPECT_TRUE(schedule.due(last, 100000 + 30 * 60 - 30 + 60 + 11));
}

TEST(UpdateSchedule, TheUpdateThreadFollowsItsClock) {
  testing::TempDir dir;
  dir.write("quarncrc.ini", "AUTO_UPDATE true\nUPDATE_INT 20\n");
  dir.write("quarncrc.pid", "77");
  Log log;
  log.set_size_limit(0);
  log.open(dir.file("test.log"));
  Settings settings(log, SettingsOptions{dir.file("quarncrc.ini"), false, 77});
  settings.init();
  UpdateState state;
  state.last_update = 1000000;
  int updates = 0;
  int result = 0;
  UpdateThreadHooks hooks;
  hooks.do_update = [&] {
    ++updates;
    return result;
  };
  std::int64_t now = 1000000 + 1200;
  UpdateThreadOptions options{dir.path(), 20, 77};
  options.clock = [&] { return now; };
  UpdateThread thread(log, settings, state, hooks, options);

  thread.cycle();  // exactly one interval on: not due
  EXPECT_EQ(updates, 0);
  ++now;
  thread.cycle();  // failed: retried 1240 to 1779 seconds on
  EXPECT_EQ(updates, 1);
  EXPECT_GE(state.last_update, now - 20 + 60);
  EXPECT_LE(state.last_update, now - 20 + 60 + 539);
  now = state.last_update + std::int64_t{1200};
  thread.cycle();
  EXPECT_EQ(updates, 1);
  ++now;
  result = 1;
  thread.cycle();
  EXPECT_EQ(updates, 2);
  EXPECT_EQ(state.last_update, now);
}

}  // namespace
}  // namespace quarn
