// Timed recursive mutexes and the thread helpers.
#include "support/mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/log.h"
#include "support/thread.h"
#include "tests/testing/temp_dir.h"

namespace quarn {
namespace {

using namespace std::chrono_literals;

TEST(MutexTest, RecursionNeedsOneReleasePerTake) {
  auto m = th_mutex_new_remember(nullptr);
  ASSERT_EQ(th_mutex_wait_remember(m.get(), 15000), 1);
  ASSERT_EQ(th_mutex_wait_remember(m.get(), 15000), 1);
  EXPECT_EQ(th_mutex_release(m.get(), nullptr), 1);
  std::atomic<int> other{-1};
  std::thread t([&] { other = th_mutex_wait_remember(m.get(), 50); });
  t.join();
  EXPECT_EQ(other, 0);  // still held once
  EXPECT_EQ(th_mutex_release(m.get(), nullptr), 1);
  std::thread t2([&] {
    other = th_mutex_wait_remember(m.get(), 1000);
    m->release();
  });
  t2.join();
  EXPECT_EQ(other, 1);
}

TEST(MutexTest, TimeoutRecordsTheWaitersLocation) {
  MutexRec m;
  std::thread holder([&] {
    m.wait(1000);
    std::this_thread::sleep_for(300ms);
    m.release();
  });
  std::this_thread::sleep_for(50ms);
  const auto start = std::chrono::steady_clock::now();
  const int line = __LINE__ + 1;
  EXPECT_EQ(th_mutex_wait_remember(&m, 100), 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 90ms);
  EXPECT_LT(waited, 250ms);
  EXPECT_EQ(m.source_line(), line);
  EXPECT_NE(m.source_file().find("mutex_test.cpp"), std::string::npos);
  holder.join();
}

TEST(MutexTest, ReleaseByANonOwnerIsRefusedAndLogged) {
  testing::TempDir dir;
  Log log;
  log.set_size_limit(0);
  log.open(dir.file("m.log"));
  MutexRec m;
  EXPECT_EQ(th_mutex_release(&m, &log), 0);  // not held at all
  m.wait(100);
  int result = -1;
  std::thread t([&] { result = th_mutex_release(&m, &log); });
  t.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(th_mutex_release(&m, &log), 1);
  log.flush();
  const std::string text = testing::read_file(dir.file("m.log"));
  EXPECT_NE(text.find(":Err: Releaseing mutex failed\n"), std::string::npos);
}

TEST(MutexTest, NullMutexNeverWaits) {
  EXPECT_EQ(th_mutex_wait_remember(nullptr, 60000), 0);
  MutexHold hold(nullptr, 60000);
  EXPECT_FALSE(hold.held());
}

TEST(MutexTest, HoldReleasesOnScopeExit) {
  MutexRec m;
  {
    MutexHold hold(&m, 100);
    EXPECT_TRUE(hold.held());
    EXPECT_TRUE(m.held_by_me());
  }
  EXPECT_FALSE(m.held_by_me());
}

TEST(ThreadTest, StopSignalWakesASleeper) {
  StopSignal stop;
  auto start = std::chrono::steady_clock::now();
  auto thread = th_new([&] { stop.sleep_for(10000); });
  ASSERT_NE(thread, nullptr);
  std::this_thread::sleep_for(20ms);
  stop.request();
  EXPECT_TRUE(thread->join_for(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(stop.sleep_for(1000));  // already requested: no sleep
}

TEST(ThreadTest, JoinForGivesUpOnABusyThread) {
  StopSignal stop;
  auto thread = th_new([&] { std::this_thread::sleep_for(300ms); });
  EXPECT_FALSE(thread->join_for(20));
  EXPECT_TRUE(thread->join_for(2000));
  EXPECT_GT(th_id(), 0);
}

}  // namespace
}  // namespace quarn
