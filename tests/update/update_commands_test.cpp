// The update-command language: every rejection with its log text, the
// separators, TIME lines, replacement and deletion, and check-only mode.
#include "update/update_commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/update/update_fixtures.h"

namespace quarn::testing {
namespace {

const PartCrcs kA = crcs_of(1);
const PartCrcs kB = crcs_of(2);

// A check-cased text of the given (lower-case) fields, without the letter.
std::string cased(std::string text) { return enccrc(text); }

TEST(UpdateCommand, ResultsAndLogTexts) {
  const std::string old_ts = std::to_string(kNow - 14 * 86400 - 1);
  const std::string edge_ts = std::to_string(kNow - 14 * 86400);
  const std::string nums = "|3|0|2|1|";
  std::string bad_case = sig(kA);
  bad_case[2] = bad_case[2] == '$' ? '#' : '$';
  struct Case {
    const char* name;
    std::string line;
    std::int32_t result;
    std::vector<std::string> log;
    const char* ini = "";
    bool test_mode = false;
  };
  const Case cases[] = {
      {"valid SET", set_line(5, kFresh, kA), kFresh, {}},
      {"trailing separator and line end", set_line(5, kFresh, kA) + "|\n", kFresh, {}},
      {"doubled and mixed separators, leading ones",
       "||SET~~5||" + std::to_string(kFresh) + "~3|~0||2|1||" + sig(kA) + "~|", kFresh, {}},
      {"fields after the signature are ignored", set_line(5, kFresh, kA) + "|x|y", kFresh, {}},
      {"nine CRCs with doubled separators",
       "SET|5|" + std::to_string(kFresh) + nums + "A" + cased("$1$$2-3 4$5$6$$$7-$8$9"), kFresh, {}},
      {"unknown command word", "set|5|1", 0, {"Err:do_update_command - Invalid command (set)"}},
      {"line end as a command", "\n", 0, {"Err:do_update_command - Invalid command (\n)"}},
      {"ID below 1", "SET|0|" + std::to_string(kFresh), 0,
       {"Err:do_update_command - Invalid ID, skipping (0)"}},
      {"ID not a number", "DEL|x", 0, {"Err:do_update_command - Invalid ID, skipping (0)"}},
      {"timestamp below 1", "SET|5|-4|1", 0,
       {"Err:do_update_command - Invalid timestamp, skipping (5)"}},
      {"TIME timestamp below 1", "TIME|0 5 6", 0,
       {"Err:do_update_command - Invalid timestamp, skipping (0)"}},
      {"outdated", "SET|5|" + old_ts + nums + sig(kA), 0, {"Info:Removing outdated item (5)"}},
      {"exactly EXPIRE_DAYS old is kept", "SET|5|" + edge_ts + nums + sig(kA),
       static_cast<std::int32_t>(kNow - 14 * 86400), {}},
      {"longer EXPIRE_DAYS", "SET|5|" + old_ts + nums + sig(kA), std::stoi(old_ts), {},
       "EXPIRE_DAYS 30\n"},
      {"negative EXPIRE_DAYS reads as 14", "SET|5|" + old_ts + nums + sig(kA), 0,
       {"Info:Removing outdated item (5)"}, "EXPIRE_DAYS -1\n"},
      {"test mode: any age", "SET|5|1" + nums + sig(kA), 1, {}, "", true},
      {"rule set B", "SET|5|" + std::to_string(kFresh) + nums + "B" + make_signature_text(kA), 0,
       {"Err:do_update_command - Version mismatch, skipping (Requires B, current A (QuarnCRC Aug "
        "25 2003)) (5)"}},
      {"a byte above 127 is below A", "SET|5|" + std::to_string(kFresh) + nums + "\xc1" +
       make_signature_text(kA), kFresh, {}},
      {"wrong check case", "SET|5|" + std::to_string(kFresh) + nums + bad_case, 0,
       {"Info:do_update_command - Invalid CRC (5)"}},
      {"wrong check case allowed", "SET|5|" + std::to_string(kFresh) + nums + bad_case, kFresh,
       {"Info:do_update_command - Allowing invalid CRC (5)"}, "ALLOW_INVALID_CRCS true\n"},
      {"line end inside the signature field", set_line(5, kFresh, kA) + "\n", 0,
       {"Info:do_update_command - Invalid CRC (5)"}},
      {"eight CRCs", "SET|5|" + std::to_string(kFresh) + nums + "A" + cased("$1$2$3$4$5$6$7$8"), 0,
       {"Err:do_update_command - Invalid CRC list, skipping (5)"}},
      {"ten CRCs", "SET|5|" + std::to_string(kFresh) + nums + "A" + cased("$1$2$3$4$5$6$7$8$9$a"),
       0, {"Err:do_update_command - Invalid CRC list, skipping (5)"}},
      {"no CRCs", "SET|5|" + std::to_string(kFresh) + nums + "A", 0,
       {"Err:do_update_command - Invalid CRC list, skipping (5)"}},
      {"empty line", "", 0, {"Err:do_update_command - Corrupt or incomplete command, up to 0 (0)"}},
      {"no ID", "SET", 0, {"Err:do_update_command - Corrupt or incomplete command, up to 1 (0)"}},
      {"DEL without ID", "|DEL|", 0,
       {"Err:do_update_command - Corrupt or incomplete command, up to 1 (0)"}},
      {"no timestamp", "SET|5", 0,
       {"Err:do_update_command - Corrupt or incomplete command, up to 2 (5)"}},
      {"TIME without number", "TIME", 0,
       {"Err:do_update_command - Corrupt or incomplete command, up to 2 (0)"}},
      {"no count", "SET|5|" + std::to_string(kFresh), 0,
       {"Err:do_update_command - Corrupt or incomplete command, up to 3 (5)"}},
      {"no signature", "SET|5|" + std::to_string(kFresh) + "|1|0|2|1||", 0,
       {"Err:do_update_command - Corrupt or incomplete command, up to 7 (5)"}},
      {"a NUL byte ends the line", std::string("SET|5|") + std::to_string(kFresh) + '\0' + nums +
       sig(kA), 0, {"Err:do_update_command - Corrupt or incomplete command, up to 3 (5)"}},
      {"DEL of an unknown ID", "DEL|9", 0,
       {"Info:do_update_command - Attempted to delete unknown message (9)"}},
      {"TIME with one number", "TIME|77", 77, {}},
  };
  for (const Case& c : cases) {
    UpdateWorld w(c.ini, c.test_mode);
    EXPECT_EQ(w.apply(c.line), c.result) << c.name;
    EXPECT_EQ(w.h.log_entries(), c.log) << c.name;
    const bool stored = c.result != 0 && c.line.find("TIME") == std::string::npos;
    EXPECT_EQ(w.db.message_count(), stored ? 1u : 0u) << c.name;
  }
}

TEST(UpdateCommand, SetStoresAndReplacesRecordAndIndex) {
  UpdateWorld w("DEBUG true\n");
  ASSERT_EQ(w.apply(set_line(5, kFresh, kA, 12, 4, 2, 1)), kFresh);
  const MessageRecord* r = w.db.find_message(5);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ((std::vector<std::int32_t>{r->count, r->other_count, r->status, r->type}),
            (std::vector<std::int32_t>{12, 4, 2, 1}));
  EXPECT_EQ(r->crc, kA);
  EXPECT_EQ(w.db.crc_entry_count(), 9u);

  // The same id again: new attributes, new CRCs, the old entries gone.
  ASSERT_EQ(w.apply(set_line(5, kFresh + 1, kB, 1, 0, 0, 3)), kFresh + 1);
  EXPECT_EQ(w.db.message_count(), 1u);
  EXPECT_EQ(r->crc, kB);
  EXPECT_EQ(r->type, 3);
  EXPECT_EQ(w.db.crc_entry_count(), 9u);
  for (int p = 0; p < kPartCount; ++p) {
    int with_a = 0;
    int with_b = 0;
    w.db.for_each_with(p, kA[p], [&](RecordRef) { ++with_a; });
    w.db.for_each_with(p, kB[p], [&](RecordRef) { ++with_b; });
    EXPECT_EQ(with_a, kA[p] == kB[p] ? 1 : 0);
    EXPECT_EQ(with_b, 1);
  }
  EXPECT_EQ(w.h.log_entries(), (std::vector<std::string>{"dbg:do_update_command - Adding message 5",
                                                         "dbg:do_update_command - Adding message 5"}));
}

TEST(UpdateCommand, DelRemovesRecordAndEntriesAndYieldsZero) {
  UpdateWorld w("DEBUG true\n");
  w.apply(set_line(5, kFresh, kA));
  w.apply(set_line(6, kFresh, kB));
  w.h.clear_log();
  EXPECT_EQ(w.apply("DEL|5"), 0);
  EXPECT_EQ(w.db.find_message(5), nullptr);
  EXPECT_NE(w.db.find_message(6), nullptr);
  EXPECT_EQ(w.db.crc_entry_count(), 9u);
  EXPECT_EQ(w.h.log_entries(), std::vector<std::string>{"dbg:do_update_command - Deleting message 5"});
}

TEST(UpdateCommand, TimeRestoresTheUpdateState) {
  struct Case {
    const char* line;
    std::int32_t position, last_update, filter_time;
  };
  const Case cases[] = {
      {"TIME|100", 1, 2, 3},  // one number: nothing changes
      {"TIME|100 200", 100, 200, 3},
      {"TIME|100 200 300", 100, 200, 300},
      {"TIME|100  200", 100, 200, 200},  // the second blank is found at once
      {"TIME|100 x 300\n", 100, 0, 300},
  };
  for (const Case& c : cases) {
    UpdateWorld w;
    w.state.position = 1;
    w.state.last_update = 2;
    w.state.filter_time = 3;
    EXPECT_EQ(w.apply(c.line), 100) << c.line;
    EXPECT_EQ(w.state.position, c.position) << c.line;
    EXPECT_EQ(w.state.last_update, c.last_update) << c.line;
    EXPECT_EQ(w.state.filter_time, c.filter_time) << c.line;
  }
}

TEST(UpdateCommand, CheckOnlyJudgesWithoutChangingAnything) {
  UpdateWorld w;
  w.apply(set_line(5, kFresh, kA));
  w.h.clear_log();
  struct Case {
    std::string line;
    std::int32_t result;
    int dropped;
  };
  const Case cases[] = {
      {set_line(5, kFresh, kB) + "|\n", kFresh, 0},  // id in memory: kept
      {set_line(6, kFresh, kB) + "|\n", 0, 1},       // id not in memory
      {"DEL|5\n", 0, 1},
      {"DEL|99\n", 0, 1},
      {"TIME|9 8 7\n", 9, 0},
      {"SET|5|1|1|0|2|1|" + sig(kA) + "|\n", 0, 0},  // outdated
      {"bogus\n", 0, 0},
  };
  for (const Case& c : cases) {
    int dropped = 7;
    EXPECT_EQ(w.commands.do_update_command(c.line, true, &dropped), c.result) << c.line;
    EXPECT_EQ(dropped, c.dropped) << c.line;
  }
  EXPECT_EQ(w.db.find_message(5)->crc, kA);
  EXPECT_EQ(w.db.message_count(), 1u);
  EXPECT_EQ(w.state.position, 0);
  EXPECT_EQ(w.state.filter_time, 0);
  EXPECT_EQ(w.h.log_entries(),
            (std::vector<std::string>{"Info:Removing outdated item (5)",
                                      "Err:do_update_command - Invalid command (bogus\n)"}));
}

TEST(UpdateCommand, GivesUpWhenTheDatabaseMutexIsBusy) {
  UpdateWorld w("", false, 20);
  std::atomic<bool> held{false};
  std::atomic<bool> done{false};
  std::thread holder([&] {
    MutexHold hold(&w.db.mutex(), 1000);
    held = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::int32_t result = w.apply(set_line(5, kFresh, kA));
  done = true;
  holder.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(w.db.message_count(), 0u);
  EXPECT_EQ(w.h.log_entries(),
            std::vector<std::string>{"Err:do_update_command - Could not obtain mutex for 60 seconds"});
}

}  // namespace
}  // namespace quarn::testing

namespace quarn::testing {
namespace {

// The parse alone: fields out, rejections as values, nothing logged or
// stored; the expiry limit and the invalid-signature allowance come from
// the rules it is given.
TEST(ParseUpdateCommand, IsPureAndTakesItsRulesAsGiven) {
  UpdateWorld w;
  const std::string line = set_line(5, kFresh, kA, 12, 4, 2, 1);
  const ParsedCommand set = parse_update_command(line, CommandRules{});
  ASSERT_TRUE(set.valid());
  EXPECT_EQ(set.kind, CommandKind::kSet);
  EXPECT_EQ((std::vector<std::int32_t>{set.id, set.timestamp, set.count, set.other_count,
                                       set.status, set.type}),
            (std::vector<std::int32_t>{5, kFresh, 12, 4, 2, 1}));
  EXPECT_EQ(set.crcs, kA);

  CommandRules expiring;
  expiring.expired_before = std::int64_t{kFresh} + 1;
  EXPECT_EQ(parse_update_command(line, expiring).rejection, Rejection::kOutdated);
  expiring.test_mode = true;
  EXPECT_TRUE(parse_update_command(line, expiring).valid());

  std::string bad = sig(kA);
  bad[2] = bad[2] == '$' ? '#' : '$';
  const std::string bad_line = "SET|5|" + std::to_string(kFresh) + "|1|0|0|0|" + bad + "|";
  EXPECT_EQ(parse_update_command(bad_line, CommandRules{}).rejection, Rejection::kInvalidCrc);
  const ParsedCommand allowed = parse_update_command(bad_line, CommandRules{false, 0, true});
  EXPECT_TRUE(allowed.valid() && allowed.allowed_invalid_crc);

  const ParsedCommand time = parse_update_command("TIME|7 8 9 10", CommandRules{});
  EXPECT_EQ((std::vector<std::int32_t>{time.timestamp, time.time_extra, time.last_update, time.filter_time}),
            (std::vector<std::int32_t>{7, 2, 8, 9}));
  EXPECT_EQ(parse_update_command("DEL", CommandRules{}).field, 1);

  EXPECT_EQ(w.db.message_count(), 0u);
  EXPECT_TRUE(w.h.log_entries().empty());
  EXPECT_EQ(w.state.position, 0);
}

}  // namespace
}  // namespace quarn::testing
