// The update thread inside the real binary: a second engine in the same
// directory ends the first; a saved settings file is reloaded.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

using namespace std::chrono_literals;

TEST(UpdateThreadE2E, SecondEngineInTheSameDirectoryEndsTheFirst) {
  TempDir dir;
  dir.write("quarncrc.ini", kTestIni);
  EngineProcess first(dir.path());
  EXPECT_EQ(first.command("1 x"), "1 ERROR Invalid command\n");
  EngineProcess second(dir.path());
  EXPECT_EQ(second.command("2 x"), "2 ERROR Invalid command\n");
  // The first engine notices within one cycle (5 seconds) and ends itself.
  EXPECT_EQ(first.wait_exit(8000ms), 128 + SIGINT);
  EXPECT_NE(read_engine_log(dir.path()).find("Err: Duplicate QuarnCRC running! Terminating\n"),
            std::string::npos);
  EXPECT_EQ(second.command("3 x"), "3 ERROR Invalid command\n");
  EXPECT_EQ(dir.read("quarncrc.pid"), std::to_string(second.pid()));
  EXPECT_EQ(second.quit(), 0);
}

TEST(UpdateThreadE2E, SavedSettingsAreReloaded) {
  TempDir dir;
  // DEBUG flushes every log line, so the test can watch the log.
  dir.write("quarncrc.ini", std::string(kTestIni) + "DEBUG true\n");
  EngineProcess engine(dir.path());
  std::this_thread::sleep_for(1100ms);  // a new modification time
  dir.write("quarncrc.ini", std::string(kTestIni) + "DEBUG true\nSKIP_FILTER true\n");
  bool reloaded = false;
  for (int i = 0; i < 80 && !reloaded; ++i) {
    std::this_thread::sleep_for(100ms);
    reloaded = read_engine_log(dir.path()).find("Configuration changed, reloading") !=
               std::string::npos;
  }
  EXPECT_TRUE(reloaded);
  dir.write("m.txt", "Subject: x\n\nbody\n");
  // SKIP_FILTER now holds: no envelope is needed.
  EXPECT_EQ(engine.command("1 SCAN m.txt none.env").find("ERROR"), std::string::npos);
  EXPECT_EQ(engine.quit(), 0);
}

}  // namespace
}  // namespace quarn::testing
