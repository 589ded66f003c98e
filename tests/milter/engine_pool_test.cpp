// The engine supervisor against small shell scripts standing in for the
// engine: answers matched by tag, commands an engine skips, an engine that
// exits in the middle of a command.
#include "milter/engine_pool.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/testing/temp_dir.h"

namespace quarn::milter {
namespace {

using quarn::testing::TempDir;
namespace fs = std::filesystem;

std::string script(const TempDir& dir, const std::string& name, const std::string& body) {
  dir.write(name, "#!/bin/sh\n" + body);
  fs::permissions(dir.path() / name, fs::perms::owner_all);
  return dir.file(name);
}

TEST(EngineSupervisor, MatchesAnswersByTagAndFailsCommandsTheEngineSkipped) {
  TempDir dir;
  // Reads two commands and answers only the second.
  std::string engine = script(dir, "engine",
                              "read first; read second; set -- $second\n"
                              "printf '%s DATA\\nX-Quarn-CRC: A$1\\n.\\n' \"$1\"\n"
                              "while read line; do :; done\n");
  Logger log;
  std::atomic<int> timeout_ms{5000};
  Engine e(log, engine, dir.path(), 1, timeout_ms);
  auto first = std::async(std::launch::async, [&] { return e.scan("/m1", "/e1"); });
  while (e.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ScanResult second = e.scan("/m2", "/e2");
  ScanResult skipped = first.get();
  ASSERT_TRUE(second.answered) << second.failure;
  EXPECT_EQ(second.answer.tag, "1.2");
  EXPECT_EQ(second.answer.headers, std::vector<std::string>{"X-Quarn-CRC: A$1"});
  EXPECT_FALSE(skipped.answered);
  EXPECT_EQ(skipped.failure, "engine skipped the command");
  e.stop();
}

TEST(EngineSupervisor, ALostEngineFailsWhatItWasSentAndIsStartedAgain) {
  TempDir dir;
  // The first start exits on its first command; later starts answer.
  std::string engine = script(dir, "engine",
                              "if [ ! -e started ]; then touch started; read x; exit 3; fi\n"
                              "while read tag rest; do\n"
                              "  [ \"$tag\" = QUIT ] && exit 0\n"
                              "  printf '%s DATA\\n.\\n' \"$tag\"\n"
                              "done\n");
  Logger log;
  std::atomic<int> timeout_ms{5000};
  Engine e(log, engine, dir.path(), 1, timeout_ms);
  ScanResult lost = e.scan("/m1", "/e1");
  EXPECT_FALSE(lost.answered);
  EXPECT_EQ(lost.failure, "engine exited");
  ScanResult again = e.scan("/m2", "/e2");
  EXPECT_TRUE(again.answered) << again.failure;
  e.stop();
  EXPECT_FALSE(e.running());
}

}  // namespace
}  // namespace quarn::milter
