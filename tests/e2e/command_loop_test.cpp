// The command loop of the real binary: answers, process files, bad input.
#include <gtest/gtest.h>

#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

class CommandLoop : public ::testing::Test {
 protected:
  void SetUp() override { dir.write("quarncrc.ini", kTestIni); }
  TempDir dir;
};

TEST_F(CommandLoop, AnswersInvalidCommandsAndQuits) {
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("1 scan a b"), "1 ERROR Invalid command\n");
  EXPECT_EQ(engine.command(""), "ERROR Invalid command\n");
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_EQ(engine.read_until_eof(), "");
}

}  // namespace
}  // namespace quarn::testing
