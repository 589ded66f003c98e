// Running small rules files over messages, for the interpreter tests: a
// fresh rule engine, the rules compiled from text, and one call per run
// with the recipient list built from an envelope text.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/interpreter.h"
#include "filter/recipients.h"
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
    filter = engine.rfilter_compile(dir.file("rules.dat"));
    ASSERT_TRUE(filter) << rules;
  }

  // Installs the add-header hook, collecting the lines in `added`.
  void collect_added_headers() {
    engine.model().mfilter_set_hdrs_add(
        [this](std::string_view line) { added.emplace_back(line); });
  }

  // Collects the forward copies handed on.
  void collect_forwards() {
    engine.run().add_fwd = [this](void* context, std::string_view address) {
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
    outcome.accepted =
        rfilter_run(engine, this, filter.get(), text, work, static_cast<std::int32_t>(message.size()),
                    outcome.recipients, path, outcome.result, match);
    return outcome;
  }

  TempDir dir;
  ScopedCwd cwd_;
  RuleEngine engine;
  LogCollector log{engine};
  std::unique_ptr<RuleFilter> filter;
  std::vector<std::string> added;
  std::vector<std::string> forwards;
};

}  // namespace quarn::testing
