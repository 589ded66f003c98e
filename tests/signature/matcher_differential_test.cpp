// The matcher against the bucket walk it must agree with: random databases
// built to collide (tiny bucket counts, few values, many zeros), random
// settings, records replaced and erased between matches, and the corpus.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "signature/matcher.h"
#include "signature/msgcrc.h"
#include "support/text.h"
#include "tests/signature/fixtures.h"
#include "tests/testing/corpus.h"

namespace quarn {
namespace {

using testing::Harness;

// Everything a match reports, as text.
std::string outcome(const MatchResult& r, std::int32_t partial, const SpamScoreList& scores) {
  std::string text = lprintf(200, "%d %d %s|%s %d %d partial=%d", r.matched ? 1 : 0, r.score,
                             r.status, r.type, r.count, r.id, partial);
  for (const SpamScore& s : scores) text += lprintf(1100, " [%.9g %s]", double{s.score}, s.name.c_str());
  return text;
}

// Matches `probe` both ways, with and without a score list, and expects
// the same answers and the same log lines.
void expect_same(SignatureDb& db, Harness& h, const PartCrcs& probe, const std::string& where) {
  for (const bool with_list : {true, false}) {
    std::int32_t fast_partial = 7;
    std::int32_t walk_partial = 7;
    SpamScoreList fast_scores{{1.0f, "earlier"}};
    SpamScoreList walk_scores{{1.0f, "earlier"}};
    const MatchResult fast = findarticlematches_fast(db, *h.settings, probe, fast_partial,
                                                     with_list ? &fast_scores : nullptr);
    const std::vector<std::string> fast_log = h.log_entries();
    h.clear_log();
    const MatchResult walk = match_by_bucket_walk(db, *h.settings, probe, walk_partial,
                                                  with_list ? &walk_scores : nullptr);
    ASSERT_EQ(outcome(fast, fast_partial, fast_scores), outcome(walk, walk_partial, walk_scores))
        << where;
    ASSERT_EQ(fast_log, h.log_entries()) << where;
    h.clear_log();
  }
}

std::string random_ini(std::mt19937& rng) {
  const auto pick = [&](std::initializer_list<const char*> values) {
    return *(values.begin() + rng() % values.size());
  };
  std::string ini;
  ini += std::string("MATCH_MIN ") + pick({"5", "5", "1", "3", "9", "10", "0", "-2"}) + "\n";
  ini += std::string("SCORE_MIN ") + pick({"8", "8", "1", "5", "17", "18", "0", "-3"}) + "\n";
  ini += std::string("RATIO_MIN ") + pick({"0", "0", "1", "2", "-1"}) + "\n";
  ini += std::string("COUNT_MIN ") + pick({"0", "0", "2", "-1"}) + "\n";
  ini += std::string("TRUST_ISSPAM ") + pick({"true", "false"}) + "\n";
  // "true" is true as a truth value and 0 as a number.
  ini += std::string("ALLOW_NULL_HEAD ") + pick({"false", "true", "1", "0"}) + "\n";
  ini += std::string("PARTIAL_MATCH ") + pick({"true", "true", "false"}) + "\n";
  return ini;
}

// Few distinct values, so that records share values and buckets.
std::uint32_t random_value(std::mt19937& rng) {
  switch (rng() % 4) {
    case 0: return 0;
    case 1: return rng() % 30;
    case 2: return static_cast<std::uint32_t>(rng() % 30) * 10000u + 3u;
    default: return rng();
  }
}

// A scanned message: a stored record's values with some parts changed.
PartCrcs probe_from(const std::vector<PartCrcs>& stored, std::mt19937& rng) {
  PartCrcs probe;
  if (stored.empty() || rng() % 8 == 0) {
    for (auto& c : probe) c = random_value(rng);
    return probe;
  }
  probe = stored[rng() % stored.size()];
  for (auto& c : probe) {
    if (rng() % 3 == 0) c = random_value(rng);
  }
  return probe;
}

// Bucket chains kept literally: new entries at the front, a removal takes
// the first entry of the record's value.
struct ChainModel {
  explicit ChainModel(const SignatureDb& db)
      : db(db), chains(static_cast<std::size_t>(db.bucket_count()) + 72) {}
  void add(std::int32_t id, const PartCrcs& crcs) {
    for (int p = 0; p < kPartCount; ++p) {
      auto& chain = chains[db.bucket_of(crcs[p], p)];
      chain.insert(chain.begin(), {id, crcs[p]});
    }
  }
  void remove(std::int32_t id, const PartCrcs& crcs) {
    for (int p = 0; p < kPartCount; ++p) {
      auto& chain = chains[db.bucket_of(crcs[p], p)];
      for (auto it = chain.begin(); it != chain.end(); ++it) {
        if (it->first == id && it->second == crcs[p]) {
          chain.erase(it);
          break;
        }
      }
    }
  }
  const SignatureDb& db;
  std::vector<std::vector<std::pair<std::int32_t, std::uint32_t>>> chains;
};

TEST(MatcherDifferential, RandomDatabasesSettingsAndChanges) {
  for (const int buckets : {7, 10000}) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
      std::mt19937 rng(seed * 31 + static_cast<unsigned>(buckets));
      Harness h(random_ini(rng));
      SignatureDb db(h.log, buckets);
      ChainModel model(db);
      std::vector<PartCrcs> stored;
      for (int step = 0; step < 3000; ++step) {
        const std::string where = lprintf(100, "buckets %d seed %u step %d", buckets, seed, step);
        const unsigned op = rng() % 10;
        const auto id = static_cast<std::int32_t>(1 + rng() % 150);
        if (op < 4) {  // store or replace
          PartCrcs crcs;
          for (auto& c : crcs) c = random_value(rng);
          if (const MessageRecord* old = db.find_message(id)) model.remove(id, old->crc);
          const auto count = static_cast<std::int32_t>(rng() % 8) - 1;
          const auto other = static_cast<std::int32_t>(rng() % 3 == 0 ? rng() % 5 : 0);
          const auto status = static_cast<std::int32_t>(rng() % 5 == 4 ? 7 : rng() % 4);
          ASSERT_NE(db.put(id, count, other, status, static_cast<std::int32_t>(rng() % 6), crcs), nullptr);
          model.add(id, crcs);
          stored.push_back(crcs);
        } else if (op == 4) {
          if (const MessageRecord* old = db.find_message(id)) model.remove(id, old->crc);
          db.erase(id);
        } else if (op == 5 && step % 20 == 0) {
          h.set_ini(random_ini(rng));
        } else {
          expect_same(db, h, probe_from(stored, rng), where);
        }
        if (step % 500 == 0) {
          // The bucket table holds every chain in the literal order.
          for (std::size_t b = 0; b < model.chains.size(); ++b) {
            const auto entries = db.bucket(b);
            std::vector<std::pair<std::int32_t, std::uint32_t>> got;
            for (std::size_t i = entries.size(); i-- > 0;) {
              const MessageRecord& r = db.record(entries[i].ref());
              got.emplace_back(r.id, r.crc[entries[i].part()]);
            }
            ASSERT_EQ(got, model.chains[b]) << where << " bucket " << b;
          }
        }
      }
    }
  }
}

// Every corpus message against its own signature among 100,000 random
// records, under the default settings and under settings that leave only
// partial matches.
TEST(MatcherDifferential, CorpusAmongRandomRecords) {
  const auto files = testing::corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  Harness h;
  SignatureDb db(h.log);
  std::vector<PartCrcs> scanned;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PartCrcs crcs{};
    msgcrc(text, crcs, h.log);
    scanned.push_back(crcs);
  }
  std::mt19937 rng(11);
  std::int32_t id = 1;
  for (const PartCrcs& crcs : scanned) {
    db.put(id++, static_cast<std::int32_t>(rng() % 4), 0, static_cast<std::int32_t>(rng() % 4), 0, crcs);
  }
  for (int i = 0; i < 100000; ++i) {
    PartCrcs crcs;
    for (auto& c : crcs) c = rng();
    // Some share parts with corpus messages, as variants of one spam do.
    if (i % 10 == 0) {
      const PartCrcs& like = scanned[rng() % scanned.size()];
      for (int p = 0; p < kPartCount; ++p) {
        if (rng() % 2 == 0) crcs[p] = like[p];
      }
    }
    db.put(id++, static_cast<std::int32_t>(rng() % 4), 0, static_cast<std::int32_t>(rng() % 4), 0, crcs);
  }
  h.clear_log();
  for (const char* ini : {"", "SCORE_MIN 18\nTRUST_ISSPAM false\nALLOW_NULL_HEAD true\n"}) {
    h.set_ini(ini);
    for (std::size_t i = 0; i < scanned.size(); ++i) {
      expect_same(db, h, scanned[i], files[i].string());
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace quarn
