// The engine's side of building the message model: the run's flags start
// at 0 and the names the model may set are registered in the filter.
#include <gtest/gtest.h>

#include "filter/rule_engine.h"
#include "tests/filter/model_run.h"

namespace quarn::testing {
namespace {

TEST(ModelBuild, StartsTheFlagsAfreshAndRegistersTheModelsNames) {
  EngineModelRun run;
  run.names({"subject", "x-a"});
  const std::int32_t old_flag = run.filter_run.flag_index("old_flag");
  run.filter_run.set_flag(old_flag, 5);
  run.process("Subject: one\nX-A: a\nContent-Type: text/html\n\n<p>x</p>\n");
  EXPECT_EQ(run.filter_run.flag(old_flag), 0);
  EXPECT_GE(run.filter.flags.find("html_encoded"), 0);
  EXPECT_GE(run.filter.flags.find("__unusable_msgid"), 0);
  EXPECT_EQ(run.flag("html_encoded"), 0);
  EXPECT_GE(run.filter.headers.find("to"), 0);  // registered for the next run
  EXPECT_EQ(run.value("subject"), "one");
}

}  // namespace
}  // namespace quarn::testing
