// Import lines read as engines read them, and written back in the one form
// every engine keeps across reloads.
#include "feed/feed_line.h"

#include <gtest/gtest.h>

#include <string>

namespace quarn::feed {
namespace {

constexpr std::string_view kZeros = "A#0$0#0#0#0$0#0#0#0";

std::string outcome(std::string_view line) {
  const ParsedLine parsed = parse_feed_line(line);
  if (const auto* set = std::get_if<SetLine>(&parsed)) return format_set_line(*set);
  if (const auto* del = std::get_if<DelLine>(&parsed)) return format_del_line(del->id);
  if (std::holds_alternative<SkipLine>(parsed)) return "skip";
  return "error: " + std::get<LineError>(parsed).reason;
}

TEST(FeedLine, ReadsWhatEnginesReadAndWritesOneForm) {
  const std::string zeros(kZeros);
  const struct {
    std::string line;
    std::string expected;
  } cases[] = {
      {"SET|7|100|3|1|2|0|" + zeros + "|", "SET|7|100|3|1|2|0|" + zeros + "|\n"},
      {"~~SET~7~~100~3~1~2~0~" + zeros + "\r\n", "SET|7|100|3|1|2|0|" + zeros + "|\n"},
      {"DEL|12\n", "DEL|12\n"},
      {"TIME|5 6 7", "skip"},
      {"", "skip"},
      {"\r\n", "skip"},
      {"ADD|1", "error: unknown command"},
      {"DEL|0", "error: invalid ID"},
      {"SET|7|0|3|1|2|0|" + zeros, "error: invalid timestamp"},
      {"SET|7|100|3|1|2|0", "error: incomplete SET line"},
      {"SET|7|100|3|1|2|0|B#0$0#0#0#0$0#0#0#0", "error: unknown rule set"},
      {"SET|7|100|3|1|2|0|A$0$0#0#0#0$0#0#0#0", "error: invalid signature check"},
      {"SET|7|100|3|1|2|0|A#0$0#0#0#0$0#0#0", "error: invalid signature check"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(c.line), c.expected) << c.line;
}

}  // namespace
}  // namespace quarn::feed
