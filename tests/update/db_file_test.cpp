// The database file: loading, the start-up update, the rewrite, truncated
// journals and failing file operations.
#include "update/db_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/update/update_fixtures.h"

namespace quarn::testing {
namespace {

const std::string kSkipping = "Info:open_db - update_start false, skipping update";

struct DbWorld : UpdateWorld {
  explicit DbWorld(std::string_view ini = "", bool test_mode = false)
      : UpdateWorld(ini, test_mode), file(commands, DbFileOptions{h.dir.path().string(), {}, 1}) {}
  std::string content() const { return h.dir.read(kDbFile); }
  DbFile file;
};

TEST(OpenDb, LoadsLinesAndCountsApplied) {
  const std::string a = set_line(1, kFresh, crcs_of(1));
  const std::string b = set_line(2, kFresh, crcs_of(2));
  const std::string old = set_line(3, kFresh - 20 * 86400, crcs_of(3));
  struct Case {
    const char* name;
    std::optional<std::string> content;
    std::vector<std::int32_t> ids;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"missing file", std::nullopt, {}, {"Info:Could not find existing quarncrc.db", kSkipping}},
      {"empty file", "", {}, {"Info:open_db - Applied 0 rules from quarncrc.db", kSkipping}},
      {"one line", a + "|\n", {1}, {"Info:open_db - Applied 1 rule from quarncrc.db", kSkipping}},
      {"CR LF line ends and a last line without one", a + "~\r\n" + b, {1, 2},
       {"Info:open_db - Applied 2 rules from quarncrc.db", kSkipping}},
      {"signature followed directly by the line end", a + "\n" + b + "|\n", {2},
       {"Info:do_update_command - Invalid CRC (1)", "Info:open_db - Applied 1 rule from quarncrc.db",
        kSkipping}},
      {"expired line", old + "|\n" + a + "|\n", {1},
       {"Info:Removing outdated item (3)", "Info:open_db - Applied 1 rule from quarncrc.db", kSkipping}},
      {"TIME and DEL lines", a + "|\n" + b + "|\nDEL|1\nTIME|5 6 7\n", {2},
       {"Info:open_db - Applied 3 rules from quarncrc.db", kSkipping}},
      {"over-long line: each piece judged alone", a + "|" + std::string(1200, '|') + "\n" + b + "|\n",
       {1, 2},
       {"Err:do_update_command - Invalid command (\n)", "Info:open_db - Applied 2 rules from quarncrc.db",
        kSkipping}},
  };
  for (const Case& c : cases) {
    DbWorld w;
    if (c.content) w.h.dir.write(kDbFile, *c.content);
    EXPECT_EQ(w.file.open_db(), 1);
    std::vector<std::int32_t> ids;
    for (const auto& [id, text] : w.records()) ids.push_back(id);
    EXPECT_EQ(ids, c.ids) << c.name;
    EXPECT_EQ(w.h.log_entries(), c.log) << c.name;
  }
}

// Whether the value index is built at the end (an empty database, the
// mutex free) or line by line (a record already there, or the mutex busy
// when loading starts), every value finds exactly the records holding it:
// shared values, a replaced record's old values and a deleted record's.
TEST(OpenDb, ValueIndexIsExactHoweverItIsBuilt) {
  std::string content;
  std::vector<PartCrcs> used;
  for (std::int32_t id = 1; id <= 40; ++id) {
    PartCrcs crcs = crcs_of(static_cast<std::uint32_t>(id));
    if (id % 3 == 0) crcs[1] = 7;  // a value many records share
    used.push_back(crcs);
    content += set_line(id, kFresh, crcs) + "|\n";
  }
  content += set_line(5, kFresh, crcs_of(99)) + "|\nDEL|6\n";
  used.push_back(crcs_of(99));
  for (const char* way : {"at the end", "record there", "mutex busy"}) {
    DbWorld w;
    w.h.dir.write(kDbFile, content);
    std::thread holder;
    if (std::string_view(way) == "record there") w.apply(set_line(150, kFresh, crcs_of(150)));
    if (std::string_view(way) == "mutex busy") {
      std::atomic<bool> held = false;
      holder = std::thread([&] {
        MutexHold hold(&w.db.mutex(), 1000);
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      });
      while (!held) std::this_thread::yield();
    }
    w.file.open_db();
    if (holder.joinable()) holder.join();
    EXPECT_EQ(w.db.message_count(), std::string_view(way) == "record there" ? 40u : 39u) << way;
    for (const PartCrcs& crcs : used) {
      for (int p = 0; p < kPartCount; ++p) {
        std::vector<std::int32_t> found;
        w.db.for_each_with(p, crcs[p], [&](RecordRef ref) { found.push_back(w.db.record(ref).id); });
        std::sort(found.begin(), found.end());
        std::vector<std::int32_t> holders;
        for (std::int32_t id = 1; id <= 200; ++id) {
          const MessageRecord* r = w.db.find_message(id);
          if (r != nullptr && r->crc[p] == crcs[p]) holders.push_back(id);
        }
        EXPECT_EQ(found, holders) << way << " part " << p;
      }
    }
  }
}

TEST(OpenDb, SeveralTimeLinesLastWins) {
  DbWorld w;
  w.h.dir.write(kDbFile, "TIME|1 2 3\nTIME|10 20\nTIME|30\n");
  w.file.open_db();
  EXPECT_EQ(w.state.position, 10);
  EXPECT_EQ(w.state.last_update, 20);
  EXPECT_EQ(w.state.filter_time, 3);
}

TEST(OpenDb, RunsADueUpdateAtStart) {
  struct Case {
    const char* ini;
    std::string content;
    int runs;
    int outcome;
    std::int64_t low, high;  // last update afterwards
  };
  const std::string due_now = "TIME|5 " + std::to_string(kNow - 3600) + " 0\n";
  const std::string not_due = "TIME|5 " + std::to_string(kNow - 3599) + " 0\n";
  const Case cases[] = {
      {"UPDATE_START true\n", "", 1, 1, kNow, kNow},
      {"UPDATE_START true\n", "", 1, 0, kNow, kNow + 239},
      {"UPDATE_START true\nUPDATE_INT 30\n", "", 1, 0, kNow - 30 + 60, kNow - 30 + 60 + 239},
      {"UPDATE_START true\n", due_now.substr(0, due_now.size() - 1) + "\n" + "TIME|5 " +
                                  std::to_string(kNow - 3601) + " 0\n", 1, 1, kNow, kNow},
      {"UPDATE_START true\n", not_due, 0, 1, kNow - 3599, kNow - 3599},
      {"UPDATE_START true\n", due_now, 0, 1, kNow - 3600, kNow - 3600},  // not later: not due
      {"", "", 0, 1, 0, 0},
  };
  for (const Case& c : cases) {
    DbWorld w(c.ini);
    w.h.dir.write(kDbFile, c.content);
    int runs = 0;
    w.file.set_do_update([&] {
      ++runs;
      return c.outcome;
    });
    w.file.open_db();
    EXPECT_EQ(runs, c.runs) << c.ini << c.content;
    EXPECT_GE(w.state.last_update, c.low) << c.ini << c.content;
    EXPECT_LE(w.state.last_update, c.high) << c.ini << c.content;
    const bool failed = c.runs == 1 && c.outcome == 0;
    EXPECT_EQ(w.h.log_text().find("Err:Update failed!, rescheduling\n") != std::string::npos, failed);
  }
  DbWorld no_runner("UPDATE_START true\n");  // the default run fails
  no_runner.file.open_db();
  EXPECT_NE(no_runner.h.log_text().find("Err:Update failed!, rescheduling"), std::string::npos);
}

TEST(RewriteDb, KeepsLiveLinesDropsTheRestAndReloadsTheSame) {
  const std::string l1 = set_line(1, kFresh, crcs_of(1)) + "|\n";
  const std::string l2 = set_line(2, kFresh, crcs_of(2)) + "|\n";
  const std::string l3 = set_line(1, kFresh + 5, crcs_of(3), 9) + "|\n";
  const std::string l4 = set_line(3, kFresh, crcs_of(4)) + "|\n";
  const std::string l8 = set_line(4, kFresh, crcs_of(5));  // the last line, no line end
  DbWorld w("DEBUG true\n");
  w.h.dir.write(kDbFile, l1 + l2 + l3 + l4 + "DEL|3\nTIME|50 60 70\ngarbage\n" + l8);
  w.file.open_db();
  const auto loaded = w.records();
  ASSERT_EQ(loaded.size(), 3u);
  w.h.clear_log();
  w.now = kNow + 100;

  EXPECT_EQ(w.file.rewrite_db(), 1);
  EXPECT_EQ(w.content(), l1 + l2 + l3 + l8 + "|\n" + "TIME|50 " + std::to_string(kNow + 100) + " 70\n");
  EXPECT_FALSE(w.h.dir.exists(kDbNewFile));
  EXPECT_EQ(w.h.log_entries(),
            (std::vector<std::string>{
                "dbg:do_update - Removed outdated command (" + l4.substr(0, l4.size() - 1) + ")",
                "dbg:do_update - Removed outdated command (DEL|3)",
                "Err:do_update_command - Invalid command (garbage\n)",
                "Err:do_update - Validation failed, removed command (garbage)"}));

  DbWorld again;
  again.h.dir.write(kDbFile, w.content());
  again.file.open_db();
  EXPECT_EQ(again.records(), loaded);
  EXPECT_EQ(again.state.position, 50);
  EXPECT_EQ(again.state.last_update, kNow + 100);
  EXPECT_EQ(again.state.filter_time, 70);
}

TEST(RewriteDb, DropsDeletedAndExpiredMessagesLines) {
  const std::string young = set_line(1, kNow - 14 * 86400 + 100, crcs_of(1)) + "|\n";
  const std::string other = set_line(2, kFresh, crcs_of(2)) + "|\n";
  DbWorld w;
  w.h.dir.write(kDbFile, young + other + other);
  w.file.open_db();
  ASSERT_EQ(w.records().size(), 2u);
  w.apply("DEL|2");  // deleted in memory since the load
  w.now = kNow + 86400;  // the first line has expired since
  w.h.clear_log();
  w.file.rewrite_db();
  EXPECT_EQ(w.content(), "TIME|0 " + std::to_string(kNow + 86400) + " 0\n");
  const auto log = w.h.log_entries();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "Info:Removing outdated item (1)");
  EXPECT_EQ(log[1], "Err:do_update - Validation failed, removed command (" +
                        young.substr(0, young.size() - 1) + ")");
  EXPECT_EQ(w.db.message_count(), 1u);  // memory keeps what was loaded
}

TEST(RewriteDb, KeptPiecesOfOverLongLinesStaySeparate) {
  const std::string a = set_line(1, kFresh, crcs_of(1));
  const std::string b = set_line(2, kFresh, crcs_of(2)) + "|\n";
  DbWorld w;
  w.h.dir.write(kDbFile, a + "|" + std::string(1100, 'x') + "\n" + b);
  w.file.open_db();
  ASSERT_EQ(w.records().size(), 2u);
  w.file.rewrite_db();
  DbWorld again;
  again.h.dir.write(kDbFile, w.content());
  again.file.open_db();
  EXPECT_EQ(again.records(), w.records());
}

// Cut the journal at every byte: loading never crashes and every record it
// makes is one that some SET line of the file describes.
TEST(OpenDb, TruncatedJournalsNeverInventRecords) {
  std::string journal;
  std::map<std::int32_t, std::vector<std::string>> allowed;
  for (std::int32_t i = 0; i < 8; ++i) {
    const std::int32_t id = 1 + i % 5;
    const PartCrcs crcs = crcs_of(static_cast<std::uint32_t>(100 + i));
    journal += set_line(id, kFresh + i, crcs, 10 + i, i, i % 4, i % 5) + "|\n";
    DbWorld one;
    one.apply(set_line(id, kFresh + i, crcs, 10 + i, i, i % 4, i % 5));
    allowed[id].push_back(one.records().at(id));
    if (i == 5) journal += "DEL|2\nTIME|9 9 9\n";
  }
  for (std::size_t cut = 0; cut <= journal.size(); ++cut) {
    DbWorld w;
    w.h.dir.write(kDbFile, journal.substr(0, cut));
    w.file.open_db();
    for (const auto& [id, text] : w.records()) {
      const auto& ok = allowed[id];
      ASSERT_NE(std::find(ok.begin(), ok.end(), text), ok.end()) << "cut at " << cut << " id " << id;
    }
  }
}

TEST(RewriteDb, FailingFilesLeaveTheDatabaseFile) {
  const std::string content = set_line(1, kFresh, crcs_of(1)) + "|\n";
  {  // A directory where the new file should be.
    DbWorld w;
    w.h.dir.write(kDbFile, content);
    std::filesystem::create_directory(w.h.dir.file(kDbNewFile));
    EXPECT_EQ(w.file.rewrite_db(), 0);
    EXPECT_EQ(w.content(), content);
    EXPECT_EQ(w.h.log_entries(),
              std::vector<std::string>{"Err:do_update - Could not open new database (write)"});
  }
  {  // No database file to read.
    DbWorld w;
    EXPECT_EQ(w.file.rewrite_db(), 0);
    EXPECT_FALSE(w.h.dir.exists(kDbNewFile));
    EXPECT_EQ(w.h.log_entries(),
              std::vector<std::string>{"Err:do_update - Could not open database (read)"});
  }
  {  // The new file cannot be written (a full disk).
    DbWorld w;
    w.h.dir.write(kDbFile, content);
    std::filesystem::create_symlink("/dev/full", w.h.dir.file(kDbNewFile));
    w.file.open_db();
    w.h.clear_log();
    EXPECT_EQ(w.file.rewrite_db(), 1);
    EXPECT_EQ(w.content(), content);
    EXPECT_FALSE(std::filesystem::is_symlink(w.h.dir.file(kDbNewFile)));
    EXPECT_EQ(w.h.log_entries(),
              std::vector<std::string>{"Err:do_update - Could not write new database, the database "
                                       "on disk is not up to date"});
  }
  {  // The rename fails: the database file is a directory that is not empty.
    DbWorld w;
    std::filesystem::create_directories(w.h.dir.file(kDbFile) + "/keep");
    EXPECT_EQ(w.file.rewrite_db(), 1);
    EXPECT_TRUE(std::filesystem::is_directory(w.h.dir.file(kDbFile)));
    EXPECT_EQ(w.h.dir.read(kDbNewFile), "TIME|0 " + std::to_string(kNow) + " 0\n");
    EXPECT_EQ(w.h.log_entries(),
              std::vector<std::string>{"Err:do_update - Could not rename database, the database on "
                                       "disk is not up to date"});
  }
}

}  // namespace
}  // namespace quarn::testing
