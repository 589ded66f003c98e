// Matching: thresholds, qualification, null headers, visiting order, the
// score entries, and a database changing under the matcher.
#include "signature/matcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/text.h"

#include "tests/signature/fixtures.h"

namespace quarn {
namespace {

using testing::Harness;

// The scanned message of most cases: nine distinct values.
constexpr PartCrcs kProbe = {101, 102, 103, 104, 105, 106, 107, 108, 109};

// kProbe with the parts not named in `agree` replaced by other values.
PartCrcs agreeing(std::initializer_list<int> agree) {
  PartCrcs crcs;
  for (int k = 0; k < kPartCount; ++k) crcs[k] = 900 + k;
  for (int k : agree) crcs[k] = kProbe[k];
  return crcs;
}

struct Record {
  std::int32_t id;
  PartCrcs crcs;
  std::int32_t count = 1;
  std::int32_t other = 0;
  std::int32_t status = 1;
  std::int32_t type = 0;
};

class Matching {
 public:
  explicit Matching(std::string_view ini = "", int buckets = SignatureDb::kDefaultBuckets)
      : h(ini), db(h.log, buckets) {}

  void store(const Record& r) {
    ASSERT_NE(db.put(r.id, r.count, r.other, r.status, r.type, r.crcs), nullptr);
  }

  MatchResult match(const PartCrcs& probe = kProbe) {
    return findarticlematches_fast(db, *h.settings, probe, partial, &scores);
  }

  std::string entries() const {
    std::string text;
    for (const SpamScore& s : scores) text += lprintf(1000, "[%f %s]", static_cast<double>(s.score), s.name.c_str());
    return text;
  }

  Harness h;
  SignatureDb db;
  std::int32_t partial = 0;
  SpamScoreList scores;
};

TEST(Matcher, DefaultThresholds) {
  struct Case {
    const char* name;
    PartCrcs record;
    bool matched;
    int score;
    int partial;
    const char* entries;
  };
  const Case cases[] = {
      {"five body parts: weight 10, full match", agreeing({4, 5, 6, 7, 8}), true, 10, 0,
       "[6.000000 QuarnCRC Match]"},
      {"four header parts: weight 7, partial", agreeing({0, 1, 2, 3}), false, 0, 1,
       "[2.470588 QuarnCRC Partial (+2.470588,From,Subject,Received,Message ID)]"},
      {"weight 6 in four parts", agreeing({0, 1, 2, 4}), false, 0, 1,
       "[2.117647 QuarnCRC Partial (+2.117647,From,Subject,Received,Body 1)]"},
      {"five parts of weight 8 reach SCORE_MIN", agreeing({0, 1, 2, 7, 8}), true, 8, 0,
       "[6.000000 QuarnCRC Match]"},
      {"everything", kProbe, true, 17, 0, "[6.000000 QuarnCRC Match]"},
      {"nothing in common", agreeing({}), false, 0, 0, ""},
  };
  for (const Case& c : cases) {
    Matching m;
    m.store({7, c.record, 12, 0, 2, 1});
    const MatchResult r = m.match();
    EXPECT_EQ(r.matched, c.matched) << c.name;
    EXPECT_EQ(r.score, c.score) << c.name;
    EXPECT_EQ(m.partial, c.partial) << c.name;
    EXPECT_EQ(m.entries(), c.entries) << c.name;
    if (c.matched) {
      EXPECT_STREQ(r.status, "Spam");
      EXPECT_STREQ(r.type, "Porn");
      EXPECT_EQ(r.count, 12);
      EXPECT_EQ(r.id, 7);
    } else {
      EXPECT_STREQ(r.status, "None");
      EXPECT_STREQ(r.type, "None");
      EXPECT_EQ(r.id, 0);
    }
  }
}

TEST(Matcher, SettingsSteerTheFullMatch) {
  struct Case {
    const char* ini;
    Record record;
    bool matched;
  };
  const PartCrcs five_light = agreeing({0, 1, 2, 7, 8});  // weight 8
  const Case cases[] = {
      {"SCORE_MIN 12\n", {1, five_light, 1, 0, 2}, true},  // Spam is trusted
      {"SCORE_MIN 12\n", {1, five_light, 1, 0, 1}, false},
      {"SCORE_MIN 12\nTRUST_ISSPAM false\n", {1, five_light, 1, 0, 2}, false},
      {"SCORE_MIN 12\nMATCH_MIN 6\n", {1, five_light, 1, 0, 2}, false},  // too few parts
      {"MATCH_MIN 4\n", {1, agreeing({0, 1, 2, 3}), 1, 0, 1}, false},     // weight 7 < 8
      {"MATCH_MIN 4\nSCORE_MIN 7\n", {1, agreeing({0, 1, 2, 3}), 1, 0, 1}, true},
      {"MATCH_MIN -1\nSCORE_MIN -1\n", {1, agreeing({}), 1, 0, 1}, false},  // never visited
      {"RATIO_MIN 2\n", {1, kProbe, 10, 5}, false},  // 10 / 5 = 2 is not above 2
      {"RATIO_MIN 1\n", {1, kProbe, 10, 5}, true},
      {"", {1, kProbe, 10, 11}, false},  // other count above count
      {"RATIO_MIN -1\n", {1, kProbe, 10, 11}, true},
      {"COUNT_MIN -2147483648\n", {1, kProbe, INT32_MIN, -1}, true},  // 2147483648 > 0, no trap
      {"COUNT_MIN 11\n", {1, kProbe, 10}, false},
      {"COUNT_MIN 10\n", {1, kProbe, 10}, true},
      {"", {1, kProbe, -3}, false},  // below the default COUNT_MIN of 0
  };
  for (const Case& c : cases) {
    Matching m(c.ini);
    m.store(c.record);
    EXPECT_EQ(m.match().matched, c.matched) << c.ini << " id " << c.record.id;
  }
}

TEST(Matcher, RecordsThatDoNotQualifyGiveNoPartialScore) {
  Matching m("COUNT_MIN 5\n");
  m.store({1, agreeing({0, 1, 2, 3}), 4});
  EXPECT_FALSE(m.match().matched);
  EXPECT_EQ(m.partial, 0);
  EXPECT_TRUE(m.scores.empty());
}

TEST(Matcher, NullHeadersAgreeOnlyWhenAllowed) {
  PartCrcs probe = kProbe;
  probe[0] = 0;
  PartCrcs record = agreeing({4, 5, 6, 7});
  record[0] = 0;  // From 0 plus four body parts: five parts only with a null head
  for (const auto& [ini, matched] :
       {std::pair{"", false}, {"ALLOW_NULL_HEAD true\n", true}, {"ALLOW_NULL_HEAD 1\n", false}}) {
    Matching m(ini);
    m.store({1, record});
    EXPECT_EQ(m.match(probe).matched, matched) << ini;
  }

  // Two messages without a body agree in all five body parts.
  PartCrcs no_body = {1, 2, 3, 4, 0, 0, 0, 0, 0};
  Matching m;
  m.store({1, {9, 9, 9, 9, 0, 0, 0, 0, 0}});
  const MatchResult r = m.match(no_body);
  EXPECT_TRUE(r.matched);
  EXPECT_EQ(r.score, 10);
}

TEST(Matcher, PartListReadsAllowNullHeadAsANumber) {
  PartCrcs probe = kProbe;
  probe[0] = 0;
  PartCrcs record = agreeing({1, 4});
  record[0] = 0;
  struct Case {
    const char* ini;
    const char* entries;
  };
  const Case cases[] = {
      {"", "[1.058824 QuarnCRC Partial (+1.058824,Subject,Body 1)]"},
      // The matcher counts the null From; the list does not name it.
      {"ALLOW_NULL_HEAD true\n", "[1.411765 QuarnCRC Partial (+1.411765,Subject,Body 1)]"},
      // The matcher does not count it ("1" is not true); the list names it.
      {"ALLOW_NULL_HEAD 1\n", "[1.058824 QuarnCRC Partial (+1.058824,From,Subject,Body 1)]"},
  };
  for (const Case& c : cases) {
    Matching m(c.ini);
    m.store({1, record});
    m.match(probe);
    EXPECT_EQ(m.entries(), c.entries) << c.ini;
  }
}

TEST(Matcher, PartialMatchSwitchAndScoreListAreOptional) {
  Matching off("PARTIAL_MATCH false\n");
  off.store({1, agreeing({0, 1, 2, 3})});
  off.match();
  EXPECT_EQ(off.partial, 0);
  EXPECT_TRUE(off.scores.empty());

  Matching no_list;
  no_list.store({1, agreeing({0, 1, 2, 3})});
  no_list.store({2, kProbe});
  std::int32_t partial = 0;
  // A full match without a score list; then a partial match counts alone.
  EXPECT_TRUE(findarticlematches_fast(no_list.db, *no_list.h.settings, kProbe, partial, nullptr)
                  .matched);
  no_list.db.erase(2);
  EXPECT_FALSE(findarticlematches_fast(no_list.db, *no_list.h.settings, kProbe, partial, nullptr)
                   .matched);
  EXPECT_EQ(partial, 1);

  // New entries go to the front of an existing list.
  Matching front;
  front.scores.push_front(SpamScore{1.0f, "older"});
  front.store({1, kProbe});
  front.match();
  EXPECT_EQ(front.entries(), "[6.000000 QuarnCRC Match][1.000000 older]");
}

TEST(Matcher, NamesOutOfRangeAreEmpty) {
  Matching m;
  m.store({3, kProbe, 4, 0, 7, -1});
  const MatchResult r = m.match();
  ASSERT_TRUE(r.matched);
  EXPECT_STREQ(r.status, "");
  EXPECT_STREQ(r.type, "");
  EXPECT_EQ(r.count, 4);
  EXPECT_EQ(r.id, 3);
}

TEST(Matcher, FirstFullMatchInVisitingOrderWins) {
  {  // Newest entry of a bucket first.
    Matching m;
    m.store({1, kProbe});
    m.store({2, kProbe});
    EXPECT_EQ(m.match().id, 2);
  }
  {  // Part order beats a better score: From's bucket is walked first.
    Matching m;
    m.store({1, agreeing({0, 4, 5, 6, 7})});           // weight 9, via part 0
    m.store({2, agreeing({1, 2, 3, 4, 5, 6, 7, 8})});  // weight 16, newer
    const MatchResult r = m.match();
    EXPECT_EQ(r.id, 1);
    EXPECT_EQ(r.score, 9);
  }
  {  // A bucket's entries are all examined, whatever their value: with 10
     // buckets, From 111 shares the probe's From bucket.
    Matching m("", 10);
    PartCrcs collides = agreeing({4, 5, 6, 7, 8});
    collides[0] = kProbe[0] + 10;
    m.store({1, collides});
    m.store({2, agreeing({1, 4, 5, 6, 7, 8})});
    EXPECT_EQ(m.match().id, 1);
  }
  {  // The first record to reach the best partial score keeps it.
    Matching m;
    m.store({1, agreeing({0, 1})});  // weight 2, part 0's bucket
    m.store({2, agreeing({2})});     // weight 2, newer, part 2's bucket
    m.store({3, agreeing({1})});     // weight 1
    m.match();
    EXPECT_EQ(m.entries(), "[0.705882 QuarnCRC Partial (+0.705882,From,Subject)]");
  }
}

TEST(Matcher, ReplacedAndDeletedRecordsAreNotFound) {
  Matching m;
  m.store({1, kProbe});
  ASSERT_TRUE(m.match().matched);

  m.store({1, agreeing({0})});  // the same id with new CRCs
  EXPECT_FALSE(m.match().matched);
  EXPECT_EQ(m.db.crc_entry_count(), 9u);

  m.store({1, kProbe});
  m.db.erase(1);
  EXPECT_FALSE(m.match().matched);
  EXPECT_TRUE(m.h.log_entries().empty());
}

TEST(Matcher, NoMatchWhenTheDatabaseMutexIsBusy) {
  Matching m;
  m.store({1, kProbe});
  std::atomic<bool> held{false};
  std::atomic<bool> done{false};
  std::thread holder([&] {
    MutexHold hold(&m.db.mutex(), 1000);
    held = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const MatchResult r = findarticlematches_fast(m.db, *m.h.settings, kProbe, m.partial, &m.scores, 20);
  done = true;
  holder.join();
  EXPECT_FALSE(r.matched);
  EXPECT_TRUE(m.scores.empty());
  EXPECT_EQ(m.h.log_entries(),
            std::vector<std::string>{"Err:findarticlematches_fast - Could not obtain mutex for 15 seconds"});
}

TEST(Domatchtypes, LabelsOfAgreeingPartsCutAtTheSize) {
  const PartCrcs a = {0, 2, 3, 0, 0, 6, 7, 8, 9};
  const PartCrcs b = {0, 2, 0, 4, 0, 6, 0, 8, 9};
  EXPECT_EQ(domatchtypes(a, b, false, 1000), ",Subject,Body 1,Body 2,Body 4,Body 5");
  EXPECT_EQ(domatchtypes(a, b, true, 1000), ",From,Subject,Body 1,Body 2,Body 4,Body 5");
  EXPECT_EQ(domatchtypes(a, b, false, 12), ",Subject,Bo");
  EXPECT_EQ(domatchtypes(a, a, false, 1000),
            ",Subject,Received,Body 1,Body 2,Body 3,Body 4,Body 5");
}

}  // namespace
}  // namespace quarn
