// Message records and their index: bucket placement, visiting order,
// removal, and the tables against a simple model.
#include "signature/signature_db.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/signature/fixtures.h"

namespace quarn {
namespace {

using testing::Harness;

std::vector<std::int32_t> visit_ids(SignatureDb& db, std::size_t bucket) {
  std::vector<std::int32_t> ids;
  const auto entries = db.bucket(bucket);
  for (std::size_t i = entries.size(); i-- > 0;) ids.push_back(db.record(entries[i].ref()).id);
  return ids;
}

std::vector<std::int32_t> ids_with(const SignatureDb& db, int part, std::uint32_t value) {
  std::vector<std::int32_t> ids;
  db.for_each_with(part, value, [&](RecordRef ref) { ids.push_back(db.record(ref).id); });
  std::sort(ids.begin(), ids.end());
  return ids;
}

PartCrcs all(std::uint32_t value) {
  PartCrcs crcs;
  crcs.fill(value);
  return crcs;
}

TEST(StatusAndTypeNames, ByPositionAndEmptyOutOfRange) {
  const char* statuses[] = {"Notify", "Suspected", "Spam", "Deleted"};
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(status_name(i), statuses[i]);
  const char* types[] = {"Advertising", "Porn", "Scam (Get rich quick)", "Virus", "Robot-reported"};
  for (int i = 0; i < 5; ++i) EXPECT_STREQ(type_name(i), types[i]);
  for (int bad : {-1, 4, 7, INT32_MIN, INT32_MAX}) EXPECT_STREQ(status_name(bad), "");
  for (int bad : {-1, 5, INT32_MIN}) EXPECT_STREQ(type_name(bad), "");
}

TEST(SignatureDb, PutFindReplaceErase) {
  Harness h;
  SignatureDb db(h.log);
  const PartCrcs first = {1, 2, 3, 77, 5, 6, 7, 8, 9};
  const MessageRecord* r = db.put(42, 10, 5, 2, 1, first);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->id, 42);
  EXPECT_EQ(r->crc, first);
  EXPECT_EQ(db.crc_entry_count(), 9u);

  const MessageRecord* again = db.put(42, 1, 2, 3, 4, all(0));
  EXPECT_EQ(again, r);
  EXPECT_EQ((std::vector<std::int32_t>{again->count, again->other_count, again->status, again->type}),
            (std::vector<std::int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(db.message_count(), 1u);
  EXPECT_EQ(db.crc_entry_count(), 9u);
  EXPECT_TRUE(ids_with(db, 3, 77).empty());  // the old values are gone
  EXPECT_EQ(ids_with(db, 3, 0), std::vector<std::int32_t>{42});

  EXPECT_EQ(db.find_message(43), nullptr);
  EXPECT_EQ(db.put(0, 1, 1, 1, 1, first), nullptr);
  EXPECT_EQ(db.put(-5, 1, 1, 1, 1, first), nullptr);
  EXPECT_EQ(db.erase(43), 0);
  EXPECT_EQ(db.erase(42), 1);
  EXPECT_EQ(db.find_message(42), nullptr);
  EXPECT_EQ(db.erase(42), 0);
  EXPECT_EQ(db.message_count(), 0u);
  EXPECT_EQ(db.crc_entry_count(), 0u);
  EXPECT_TRUE(ids_with(db, 3, 0).empty());
}

TEST(SignatureDb, BucketsSharedByPartsOffsetByNine) {
  Harness h;
  SignatureDb db(h.log, 10000);
  EXPECT_EQ(db.bucket_of(0, 0), 0u);
  EXPECT_EQ(db.bucket_of(10003, 0), 3u);
  EXPECT_EQ(db.bucket_of(3, 1), 12u);
  EXPECT_EQ(db.bucket_of(0xFFFFFFFFu, 8), 0xFFFFFFFFu % 10000 + 72);

  // Value 12 of part 0 and value 3 of part 1 share bucket 12; so do the
  // entries of one record when its values collide there.
  db.put(1, 0, 0, 0, 0, {12, 500, 500, 500, 500, 500, 500, 500, 500});
  db.put(2, 0, 0, 0, 0, {500, 3, 500, 500, 500, 500, 500, 500, 500});
  EXPECT_EQ(visit_ids(db, 12), (std::vector<std::int32_t>{2, 1}));  // newest first
  db.put(3, 0, 0, 0, 0, {10012, 3, 500, 500, 500, 500, 500, 500, 500});
  EXPECT_EQ(visit_ids(db, 12), (std::vector<std::int32_t>{3, 3, 2, 1}));
  // Built once, the table follows every change.
  db.put(1, 0, 0, 0, 0, {12, 500, 500, 500, 500, 500, 500, 500, 500});
  EXPECT_EQ(visit_ids(db, 12), (std::vector<std::int32_t>{1, 3, 3, 2}));
  EXPECT_EQ(db.erase(3), 1);
  EXPECT_EQ(visit_ids(db, 12), (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(ids_with(db, 0, 12), std::vector<std::int32_t>{1});
  EXPECT_EQ(ids_with(db, 1, 3), std::vector<std::int32_t>{2});
  EXPECT_EQ(ids_with(db, 2, 500), (std::vector<std::int32_t>{1, 2}));
}

TEST(SignatureDb, BucketCountIsAParameter) {
  Harness h;
  SignatureDb db(h.log, 7);
  EXPECT_EQ(db.bucket_count(), 7);
  EXPECT_EQ(db.bucket_of(15, 8), 1u + 72);
  db.put(9, 0, 0, 0, 0, all(15));
  EXPECT_EQ(visit_ids(db, 73), std::vector<std::int32_t>{9});
}

// Random puts and erases against std::map: the open-addressing tables must
// find every record, and every record through each of its values (few
// values, so many records share one), after any sequence of removals.
TEST(SignatureDb, RecordTableAgreesWithAModel) {
  Harness h;
  SignatureDb db(h.log);
  std::map<std::int32_t, std::int32_t> model;
  std::mt19937 rng(5);
  for (int step = 0; step < 200000; ++step) {
    const auto id = static_cast<std::int32_t>(1 + rng() % 5000);
    if (rng() % 3 == 0) {
      EXPECT_EQ(db.erase(id), model.erase(id) ? 1 : 0);
    } else {
      const auto count = static_cast<std::int32_t>(step);
      PartCrcs crcs;
      for (auto& c : crcs) c = rng() % 3000;
      ASSERT_NE(db.put(id, count, 0, 0, 0, crcs), nullptr);
      model[id] = count;
    }
    if (step % 1000 == 0) {
      ASSERT_EQ(db.message_count(), model.size());
      for (std::int32_t probe = 1; probe <= 5000; ++probe) {
        const MessageRecord* r = db.find_message(probe);
        const auto it = model.find(probe);
        ASSERT_EQ(r != nullptr, it != model.end()) << probe;
        if (r != nullptr) {
          ASSERT_EQ(r->count, it->second);
          for (int p = 0; p < kPartCount; ++p) {
            bool found = false;
            db.for_each_with(p, r->crc[p], [&](RecordRef ref) { found = found || &db.record(ref) == r; });
            ASSERT_TRUE(found) << probe << " part " << p;
          }
        }
      }
    }
  }
  EXPECT_EQ(db.crc_entry_count(), model.size() * kPartCount);
  EXPECT_EQ(db.freemessages(), static_cast<int>(model.size()));
  EXPECT_EQ(db.message_count(), 0u);
  EXPECT_EQ(db.find_message(static_cast<std::int32_t>(model.begin()->first)), nullptr);
}

// Every value list, the visiting order and the counts of `db`, as text.
std::string index_picture(SignatureDb& db) {
  std::string picture = std::to_string(db.message_count()) + " " + std::to_string(db.crc_entry_count());
  db.for_each_message([&](const MessageRecord& r) {
    picture += "\n" + std::to_string(r.id) + ":" + std::to_string(r.count);
    for (int p = 0; p < kPartCount; ++p) {
      for (const std::int32_t id : ids_with(db, p, r.crc[p])) picture += " " + std::to_string(id);
      picture += ";";
    }
  });
  for (std::size_t b = 0; b < 7 + 72; ++b) {
    picture += "\nb";
    for (const std::int32_t id : visit_ids(db, b)) picture += " " + std::to_string(id);
  }
  return picture;
}

// A load with the index deferred (replacements, erases, freed records
// reused, values shared) ends with the index that entering each change at
// once gives; a database holding records does not defer.
TEST(SignatureDb, DeferredIndexEqualsEnteringEachChange) {
  Harness h;
  for (const std::uint32_t spread : {5u, 100000u}) {
    SignatureDb at_once(h.log, 7);
    SignatureDb deferred(h.log, 7);
    ASSERT_TRUE(deferred.defer_index());
    std::mt19937 rng(spread);
    for (int step = 0; step < 20000; ++step) {
      const auto id = static_cast<std::int32_t>(1 + rng() % 3000);
      if (rng() % 4 == 0) {
        ASSERT_EQ(deferred.erase(id), at_once.erase(id));
        continue;
      }
      PartCrcs crcs;
      for (auto& c : crcs) c = rng() % spread;
      at_once.put(id, step, 0, 0, 0, crcs);
      deferred.put(id, step, 0, 0, 0, crcs);
    }
    deferred.index_all();
    EXPECT_FALSE(deferred.index_deferred());
    EXPECT_EQ(index_picture(deferred), index_picture(at_once)) << spread;
    EXPECT_FALSE(deferred.defer_index());
  }
}

}  // namespace
}  // namespace quarn
