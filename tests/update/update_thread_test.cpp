// The update thread's cycle: settings reload, trigger file, schedule,
// retries and the duplicate-engine check.
#include "update/update_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/file.h"
#include "tests/testing/temp_dir.h"

namespace quarn {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

class UpdateThreadTest : public ::testing::Test {
 protected:
  UpdateThreadTest() {
    dir_.write("quarncrc.ini", "AUTO_UPDATE false\n");
    dir_.write("quarncrc.pid", "77");
    log_.set_size_limit(0);
    log_.open(dir_.file("test.log"));
    settings_.init();
  }

  UpdateThread make(int result = 1) {
    UpdateThreadHooks hooks;
    hooks.do_update = [this, result] {
      ++updates_;
      return result;
    };
    hooks.recompile_filter = [this] { ++recompiles_; };
    return UpdateThread(log_, settings_, state_, hooks, UpdateThreadOptions{dir_.path(), 20, 77});
  }
  std::string log_text() {
    log_.flush();
    return dir_.read("test.log");
  }
  void set_mtime(const char* name, std::time_t when) {
    ASSERT_TRUE(touch_file(dir_.file(name), when));
  }

  TempDir dir_;
  Log log_;
  Settings settings_{log_, SettingsOptions{dir_.file("quarncrc.ini"), false, 77}};
  UpdateState state_;
  std::atomic<int> updates_{0};
  std::atomic<int> recompiles_{0};
};

TEST_F(UpdateThreadTest, TriggerFileForcesOneUpdateAndIsDeleted) {
  UpdateThread thread = make();
  EXPECT_TRUE(thread.cycle());
  EXPECT_EQ(updates_, 0);  // AUTO_UPDATE false: nothing is due

  dir_.write("quarncrc.update", "");
  set_mtime("quarncrc.update", 1000000);
  const std::time_t before = std::time(nullptr);
  EXPECT_TRUE(thread.cycle());
  EXPECT_EQ(updates_, 1);
  EXPECT_FALSE(dir_.exists("quarncrc.update"));
  EXPECT_GE(state_.last_update, before);
  EXPECT_NE(log_text().find(
                "Info: quarncrc.update found or modification date changed, forcing update\n"),
            std::string::npos);

  // Re-created with the same modification time: deleted, not acted on.
  dir_.write("quarncrc.update", "");
  set_mtime("quarncrc.update", 1000000);
  EXPECT_TRUE(thread.cycle());
  EXPECT_EQ(updates_, 1);
  EXPECT_FALSE(dir_.exists("quarncrc.update"));
}

TEST_F(UpdateThreadTest, SuccessfulUpdateRefreshesTheRulesFileAge) {
  dir_.write("filter.dat", "accept\n");
  set_mtime("filter.dat", 1000);
  dir_.write("quarncrc.update", "");
  UpdateThread thread = make();
  thread.cycle();
  auto st = stat_file(dir_.file("filter.dat"));
  ASSERT_TRUE(st);
  EXPECT_GE(st->mtime, std::time(nullptr) - 5);
}

TEST_F(UpdateThreadTest, ScheduleFollowsTheIntervalAndAutoUpdate) {
  dir_.write("quarncrc.ini", "AUTO_UPDATE true\nUPDATE_INT 20\n");
  settings_.init();
  UpdateThread thread = make();
  const std::int32_t now = static_cast<std::int32_t>(std::time(nullptr));
  state_.last_update = now - 20 * 60 + 30;  // not yet due
  thread.cycle();
  EXPECT_EQ(updates_, 0);
  state_.last_update = now - 20 * 60 - 1;
  thread.cycle();
  EXPECT_EQ(updates_, 1);
  // An interval announced by the server wins over the configured one.
  settings_.set_server_interval(5);
  state_.last_update = now - 5 * 60 - 1;
  thread.cycle();
  EXPECT_EQ(updates_, 2);
}

TEST_F(UpdateThreadTest, FailureReschedulesWithASpread) {
  dir_.write("quarncrc.ini", "AUTO_UPDATE true\nUPDATE_INT 20\n");
  settings_.init();
  UpdateThread thread = make(0);
  const std::int64_t before = std::time(nullptr);
  thread.cycle();
  const std::int64_t after = std::time(nullptr);
  EXPECT_EQ(updates_, 1);
  // now - 20 + 60 + r with r in 0..539: the next try 1240 to 1779 seconds on.
  EXPECT_GE(state_.last_update, before - 20 + 60);
  EXPECT_LE(state_.last_update, after - 20 + 60 + 539);
  EXPECT_NE(log_text().find("Err: Update failed!, rescheduling\n"), std::string::npos);
  thread.cycle();  // rescheduled: not due again at once
  EXPECT_EQ(updates_, 1);
}

TEST_F(UpdateThreadTest, ChangedSettingsAreReloadedAndTheRulesRecompiled) {
  UpdateThread thread = make();
  thread.cycle();
  EXPECT_EQ(recompiles_, 0);
  dir_.write("quarncrc.ini", "AUTO_UPDATE false\nSCORE_MIN 11\n");
  set_mtime("quarncrc.ini", 2000000);
  thread.cycle();
  EXPECT_EQ(recompiles_, 1);
  EXPECT_EQ(settings_.get_int(IniKey::SCORE_MIN), 11);
  EXPECT_NE(log_text().find("Info: Configuration changed, reloading\n"), std::string::npos);
  thread.cycle();
  EXPECT_EQ(recompiles_, 1);  // same modification time: nothing to do
}

TEST_F(UpdateThreadTest, AnotherEnginesIdEndsTheEngine) {
  UpdateThread thread = make();
  EXPECT_TRUE(thread.cycle());
  std::filesystem::remove(dir_.path() / "quarncrc.pid");
  EXPECT_TRUE(thread.cycle());  // unreadable: our own id
  dir_.write("quarncrc.pid", "78");
  EXPECT_FALSE(thread.cycle());
  EXPECT_NE(log_text().find("Err: Duplicate QuarnCRC running! Terminating\n"),
            std::string::npos);
  dir_.write("quarncrc.pid", "");
  EXPECT_FALSE(thread.cycle());  // empty reads as 0
}

TEST_F(UpdateThreadTest, RunningThreadActsOnTheTriggerAndStopsPromptly) {
  std::atomic<bool> duplicate{false};
  UpdateThreadHooks hooks;
  hooks.do_update = [this] {
    ++updates_;
    return 1;
  };
  hooks.on_duplicate = [&] { duplicate = true; };
  UpdateThread thread(log_, settings_, state_, hooks, UpdateThreadOptions{dir_.path(), 20, 77});
  ASSERT_TRUE(thread.start());
  dir_.write("quarncrc.update", "");
  for (int i = 0; i < 200 && updates_ == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(updates_, 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(thread.stop(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(duplicate);
}

}  // namespace
}  // namespace quarn
