// Running small rules files over messages, for the interpreter tests: a
// fresh rule engine, the rules compiled from text, and one call per run
// with the recipient list built from an envelope text.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter_run.h"
#include "filter/interpreter.h"
#include "filter/recipients.h"
#include "filter/rule_compiler.h"
#include "filter/rule_engine.h"
#include "message/message_model.h"
#include "tests/filter/rule_test_util.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {

// Two recipients, newest first in the list: b@x.com, then a@x.com.
inline constexpr std::string_view kTwoRecipients = "To: <a@x.com>\nTo: <b@x.com>\n\n";

struct RunOutcome {
  int accepted = -1;
  std::string result;
  RecipientList recipients;

  // The bounce texts in list order ("" for an accepted recipient).
  std::vector<std::string> bounces() const {
    std::vector<std::string> out;
    for (const Recipient& r : recipients) out.push_back(r.bounce.value_or(""));
    return out;
  }
};

class RunHarness {
 public:
  RunHarness() : cwd_(dir.path()) {}

  void compile(std::string_view rules) {
    dir.write("rules.dat", rules);
    filter = RuleCompiler(engine.log()).compile(dir.file("rules.dat"));
    ASSERT_TRUE(filter) << rules;
  }

  // Gives the runs an add-header sink, collecting the lines in `added`.
  void collect_added_headers() {
    sinks.add_header = [this](std::string_view line) { added.emplace_back(line); };
  }

  // Collects the forward copies handed on.
  void collect_forwards() {
    sinks.forward = [this](void* context, std::string_view address) {
      EXPECT_EQ(context, static_cast<void*>(this));
      forwards.emplace_back(address);
    };
  }

  RunOutcome run(std::string_view message, std::string_view envelope = kTwoRecipients,
                 const SpamScoreList* match = nullptr, std::string_view path = "") {
    std::vector<char> text(message.begin(), message.end());
    text.push_back('\0');
    std::vector<char> work(MessageModel::kDecodedSize);
    RunOutcome outcome;
    outcome.recipients = makeup_fwd(envelope);
    outcome.result = "untouched";
    last_run = std::make_unique<FilterRun>(engine, *filter, sinks);
    outcome.accepted =
        rfilter_run(*last_run, this, text, work, static_cast<std::int32_t>(message.size()),
                    outcome.recipients, path, outcome.result, match);
    return outcome;
  }

  TempDir dir;
  ScopedCwd cwd_;
  RuleEngine engine;
  LogCollector log{engine};
  std::unique_ptr<RuleFilter> filter;
  RunSinks sinks;
  std::unique_ptr<FilterRun> last_run;  // the last run, for its flags and state
  std::vector<std::string> added;
  std::vector<std::string> forwards;
};

}  // namespace quarn::testing
