// A run object alone: two runs over one filter and one engine keep their
// own flags and sinks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/filter_run.h"
#include "filter/interpreter.h"
#include "tests/filter/run_harness.h"

namespace quarn::testing {
namespace {

int run_over(FilterRun& run, std::string_view message) {
  std::vector<char> text(message.begin(), message.end());
  text.push_back('\0');
  std::vector<char> work(MessageModel::kDecodedSize);
  RecipientList recipients = makeup_fwd(kTwoRecipients);
  std::string result;
  return rfilter_run(run, nullptr, text, work, static_cast<std::int32_t>(message.size()),
                     recipients, "", result, nullptr);
}

TEST(FilterRun, RunsOverOneFilterKeepTheirOwnStateAndSinks) {
  RunHarness h;
  h.compile("if (rexp(subject, win)) setflag(seen)\ncall forward_cc(copy@y.com)\naccept ok\n");
  std::vector<std::string> first_copies;
  std::vector<std::string> second_copies;
  RunSinks first_sinks;
  first_sinks.forward = [&](void*, std::string_view address) { first_copies.emplace_back(address); };
  RunSinks second_sinks;
  second_sinks.forward = [&](void*, std::string_view address) {
    second_copies.emplace_back(address);
  };
  FilterRun first(h.engine, *h.filter, first_sinks);
  FilterRun second(h.engine, *h.filter, second_sinks);
  const std::int32_t seen = h.filter->flags.find("seen");
  ASSERT_GE(seen, 0);

  EXPECT_EQ(run_over(first, "Subject: win\n\nx\n"), 1);
  EXPECT_EQ(first_copies, std::vector<std::string>{"<copy@y.com>"});
  EXPECT_TRUE(second_copies.empty());
  EXPECT_EQ(first.flag(seen), 1);
  EXPECT_EQ(second.flag(seen), 0);

  EXPECT_EQ(run_over(second, "Subject: lose\n\nx\n"), 1);
  EXPECT_EQ(second_copies, std::vector<std::string>{"<copy@y.com>"});
  EXPECT_EQ(first_copies.size(), 1u);
  EXPECT_EQ(first.flag(seen), 1);
  EXPECT_EQ(second.flag(seen), 0);
  EXPECT_FALSE(first.state().message_text);  // the message is not kept past the run

  // Indexes outside the flag table read 0 and are not written.
  for (std::int32_t index : {-1, static_cast<std::int32_t>(kMaxFlags)}) {
    first.set_flag(index, 5);
    EXPECT_EQ(first.flag(index), 0);
  }
}

}  // namespace
}  // namespace quarn::testing
