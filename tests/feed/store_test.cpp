// The feed's store on a real SQLite file: stamps, what an engine at a given
// position receives, reports, import, and server-side expiry.
#include "feed/store.h"

#include <gtest/gtest.h>

#include <string>

#include "feed/message_report.h"
#include "signature/signature_text.h"
#include "tests/testing/temp_dir.h"

namespace quarn::feed {
namespace {

using quarn::testing::TempDir;

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kStart = 1800000000;

std::string message(std::string_view subject, std::string_view body) {
  return "From: a@example.org\r\nSubject: " + std::string(subject) +
         " now\r\nMessage-ID: <" + std::string(subject) + "@x>\r\nTo: b@example.com\r\n\r\n" +
         std::string(body);
}

const std::string kBody = "line one of the offer\r\nline two\r\nline three\r\nline four\r\n";

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StoreOptions options;
    options.clock = [this] { return now; };
    std::string error;
    store = Store::open(dir.path().string(), options, error);
    ASSERT_TRUE(store) << error;
  }
  ReportOutcome report(const std::string& text, bool ham = false) {
    const auto outcome = store->report(message_crcs(text), ham, 0);
    EXPECT_TRUE(outcome);
    return outcome.value_or(ReportOutcome{});
  }
  // The whole answer for an engine at `from`, checked against the count
  // and size announced before it.
  std::string answer(std::int64_t from) {
    std::unique_ptr<Delta> delta = store->delta(from);
    EXPECT_TRUE(delta);
    if (!delta) return {};
    std::string text;
    char buffer[7];  // small, so lines span reads
    long n;
    while ((n = delta->read(buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(static_cast<std::int64_t>(text.size()), delta->bytes());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), delta->lines());
    return text;
  }
  std::int64_t last_stamp() { return store->stats().value().last_stamp; }

  TempDir dir;
  std::int64_t now = kStart;
  std::unique_ptr<Store> store;
};

TEST_F(StoreTest, ReportsRaiseAFullMatchAndMakeRecordsOtherwise) {
  const ReportOutcome first = report(message("Cheap watches", kBody));
  EXPECT_EQ(first.kind, ReportOutcome::kMade);
  EXPECT_EQ(first.id, 1);
  EXPECT_EQ(first.status, 1);  // Suspected
  // Other headers, same body: five body parts agree (weight 10), a full match.
  const ReportOutcome second = report(message("Other words", kBody));
  EXPECT_EQ(second.kind, ReportOutcome::kRaised);
  EXPECT_EQ(second.id, 1);
  EXPECT_EQ(second.count, 2);
  EXPECT_EQ(report(message("Cheap watches", kBody)).status, 2);  // the third makes it Spam
  const ReportOutcome ham = report(message("Cheap watches", kBody), true);
  EXPECT_EQ(ham.kind, ReportOutcome::kRaised);
  EXPECT_EQ(ham.count, 3);
  EXPECT_EQ(ham.other, 1);
  // The same headers over another body agree in 4 header parts only.
  EXPECT_EQ(report(message("Cheap watches", "something else entirely\r\n")).id, 2);
  // Nor does a message without a body: it would match every such message.
  EXPECT_EQ(report(message("Empty", "")).kind, ReportOutcome::kNoBody);
  // A ham report that matches nothing publishes nothing.
  EXPECT_EQ(report(message("Hello", "a real letter\r\n"), true).kind, ReportOutcome::kNoMatch);
  EXPECT_EQ(store->stats()->records, 2);
}

TEST_F(StoreTest, EveryChangeTakesALargerStampWithinOneSecond) {
  const std::int64_t a = report(message("One", kBody)).stamp;
  const std::int64_t b = report(message("Two", "another body\r\n")).stamp;
  const std::int64_t c = report(message("One", kBody)).stamp;
  bool found = false;
  ASSERT_TRUE(store->remove(2, found));
  EXPECT_EQ(a, kStart);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_LT(c, last_stamp());
}

TEST_F(StoreTest, DeletesReachEnginesThatHadTheRecordOnceEach) {
  report(message("One", kBody));
  report(message("Two", "another body\r\n"));
  const std::string full = answer(1);
  EXPECT_EQ(std::count(full.begin(), full.end(), '\n'), 3);
  EXPECT_TRUE(full.starts_with("SET|1|")) << full;
  const std::int64_t position = last_stamp();
  EXPECT_TRUE(full.ends_with("TIME|" + std::to_string(position) + "\n")) << full;
  EXPECT_EQ(answer(position), "TIME|" + std::to_string(position) + "\n");

  bool found = false;
  ASSERT_TRUE(store->remove(1, found));
  report(message("Three", "a third body\r\n"));   // made after the engine's position
  ASSERT_TRUE(store->remove(3, found));             // and deleted again
  const std::string delta = answer(position);
  EXPECT_EQ(delta, "DEL|1\nTIME|" + std::to_string(last_stamp()) + "\n");
  // The TIME line moved the engine past the DEL: it is not sent again.
  EXPECT_EQ(answer(last_stamp()), "TIME|" + std::to_string(last_stamp()) + "\n");
  // A new engine, or one whose position this store never handed out, gets
  // every record and no DEL lines.
  EXPECT_EQ(answer(0), answer(last_stamp() + 1000));
  EXPECT_EQ(answer(0).find("DEL|"), std::string::npos);
}

TEST_F(StoreTest, ImportIsAllOrNothingAndKeepsIds) {
  PartCrcs crcs{};
  crcs[4] = 77;
  const std::string set = "SET|40|" + std::to_string(kStart) + "|5|1|2|3|A" + make_signature_text(crcs) + "|";
  std::vector<std::string> lines = {set, "TIME|123 456", "", "SET|41|1|1|0|1|0|A#0$0|"};
  std::size_t next = 0;
  std::string error;
  auto reader = [&](std::string& line) {
    if (next >= lines.size()) return false;
    line = lines[next++];
    return true;
  };
  EXPECT_FALSE(store->import(reader, error));
  EXPECT_TRUE(error.starts_with("line 4: ")) << error;
  EXPECT_EQ(store->stats()->records, 0);

  lines = {set, "DEL|99", set};
  next = 0;
  const auto done = store->import(reader, error);
  ASSERT_TRUE(done) << error;
  EXPECT_EQ(done->sets, 2);
  EXPECT_EQ(answer(1), "SET|40|" + std::to_string(done->stamp) + "|5|1|2|3|A" +
                           make_signature_text(crcs) + "|\nTIME|" + std::to_string(done->stamp) + "\n");
  EXPECT_EQ(report(message("New", "fresh\r\n")).id, 41);
}

TEST_F(StoreTest, RecordsStillReportedAreReStampedAndTheRestExpire) {
  report(message("Kept", kBody));
  report(message("Dropped", "another body\r\n"));
  now += 10 * kDay;
  report(message("Kept", kBody));
  now += 3 * kDay;  // the kept record's stamp is 3 days old, the other's 13
  const std::int64_t position = last_stamp();
  auto done = store->maintain();
  ASSERT_TRUE(done);
  EXPECT_EQ(done->expired, 0);
  EXPECT_EQ(done->restamped, 1);
  EXPECT_TRUE(answer(position).starts_with("SET|2|" + std::to_string(last_stamp()) + "|")) << answer(position);

  now += 2 * kDay;  // record 2 was last reported 15 days ago
  const std::int64_t later = last_stamp();
  done = store->maintain();
  ASSERT_TRUE(done);
  EXPECT_EQ(done->expired, 1);
  EXPECT_EQ(answer(later), "DEL|2\nTIME|" + std::to_string(last_stamp()) + "\n");
}

TEST(StoreSchema, NewerSchemaIsRefused) {
  TempDir dir;
  std::string error;
  {
    auto store = Store::open(dir.path().string(), {}, error);
    ASSERT_TRUE(store);
  }
  auto again = Store::open(dir.path().string(), {}, error);
  ASSERT_TRUE(again) << error;
  {
    std::unique_ptr<SqliteDb> raw = SqliteDb::open(dir.file("feed.sqlite"), 1000, error);
    ASSERT_TRUE(raw && raw->exec("PRAGMA user_version=99"));
  }
  again.reset();
  EXPECT_FALSE(Store::open(dir.path().string(), {}, error));
  EXPECT_EQ(error, "store schema version 99 is newer than this program");
}

}  // namespace
}  // namespace quarn::feed
