// Message records and the CRC index: bucket placement, visiting order,
// removal, and the record table against a simple model.
#include "signature/signature_db.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "tests/signature/fixtures.h"

namespace quarn {
namespace {

using testing::Harness;

std::vector<std::int32_t> visit_ids(const SignatureDb& db, std::size_t bucket) {
  std::vector<std::int32_t> ids;
  const auto entries = db.bucket(bucket);
  for (std::size_t i = entries.size(); i-- > 0;) ids.push_back(entries[i].id);
  return ids;
}

TEST(StatusAndTypeNames, ByPositionAndEmptyOutOfRange) {
  const char* statuses[] = {"Notify", "Suspected", "Spam", "Deleted"};
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(status_name(i), statuses[i]);
  const char* types[] = {"Advertising", "Porn", "Scam (Get rich quick)", "Virus", "Robot-reported"};
  for (int i = 0; i < 5; ++i) EXPECT_STREQ(type_name(i), types[i]);
  for (int bad : {-1, 4, 7, INT32_MIN, INT32_MAX}) EXPECT_STREQ(status_name(bad), "");
  for (int bad : {-1, 5, INT32_MIN}) EXPECT_STREQ(type_name(bad), "");
}

TEST(SignatureDb, AddFindOverwriteDelete) {
  Harness h;
  SignatureDb db(h.log);
  bool is_new = false;
  MessageRecord* r = db.add_message(42, 10, 5, 2, 1, is_new);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(is_new);
  EXPECT_EQ(r->id, 42);
  EXPECT_EQ(r->crc, PartCrcs{});
  r->crc[3] = 77;

  MessageRecord* again = db.add_message(42, 1, 2, 3, 4, is_new);
  EXPECT_FALSE(is_new);
  EXPECT_EQ(again, r);
  EXPECT_EQ(again->count, 1);
  EXPECT_EQ(again->other_count, 2);
  EXPECT_EQ(again->status, 3);
  EXPECT_EQ(again->type, 4);
  EXPECT_EQ(again->crc[3], 77u);  // the CRCs are the caller's to change
  EXPECT_EQ(db.message_count(), 1u);

  EXPECT_EQ(db.find_message(43), nullptr);
  EXPECT_EQ(db.add_message(0, 1, 1, 1, 1, is_new), nullptr);
  EXPECT_EQ(db.add_message(-5, 1, 1, 1, 1, is_new), nullptr);
  EXPECT_EQ(db.del_message(43), 0);
  EXPECT_EQ(db.del_message(42), 1);
  EXPECT_EQ(db.find_message(42), nullptr);
  EXPECT_EQ(db.del_message(42), 0);
  EXPECT_EQ(db.message_count(), 0u);
}

TEST(SignatureDb, BucketsSharedByPartsOffsetByNine) {
  Harness h;
  SignatureDb db(h.log, 10000);
  EXPECT_EQ(db.bucket_of(0, 0), 0u);
  EXPECT_EQ(db.bucket_of(10003, 0), 3u);
  EXPECT_EQ(db.bucket_of(3, 1), 12u);
  EXPECT_EQ(db.bucket_of(0xFFFFFFFFu, 8), 0xFFFFFFFFu % 10000 + 72);

  // Value 12 of part 0 and value 3 of part 1 share a bucket.
  db.addcrc(1, 12, 0);
  db.addcrc(2, 3, 1);
  db.addcrc(3, 10012, 0);
  EXPECT_EQ(visit_ids(db, 12), (std::vector<std::int32_t>{3, 2, 1}));  // newest first
  EXPECT_EQ(db.crc_entry_count(), 3u);

  // delcrc needs id and value, and removes the newest such entry only.
  db.addcrc(1, 12, 0);
  EXPECT_EQ(db.delcrc(1, 3, 0), 0);   // other bucket
  EXPECT_EQ(db.delcrc(2, 12, 0), 0);  // id 2 holds value 3 there
  EXPECT_EQ(db.delcrc(1, 12, 0), 1);
  EXPECT_EQ(visit_ids(db, 12), (std::vector<std::int32_t>{3, 2, 1}));
  EXPECT_EQ(db.delcrc(2, 3, 1), 1);
  EXPECT_EQ(visit_ids(db, 12), (std::vector<std::int32_t>{3, 1}));

  db.freecrcs();
  EXPECT_EQ(db.crc_entry_count(), 0u);
  EXPECT_TRUE(db.bucket(12).empty());
}

TEST(SignatureDb, BucketCountIsAParameter) {
  Harness h;
  SignatureDb db(h.log, 7);
  EXPECT_EQ(db.bucket_count(), 7);
  EXPECT_EQ(db.bucket_of(15, 8), 1u + 72);
  db.addcrc(9, 15, 8);
  EXPECT_EQ(visit_ids(db, 73), std::vector<std::int32_t>{9});
}

// Random adds and deletes against std::map: the open-addressing table must
// find every record after any sequence of removals.
TEST(SignatureDb, RecordTableAgreesWithAModel) {
  Harness h;
  SignatureDb db(h.log);
  std::map<std::int32_t, std::int32_t> model;
  std::mt19937 rng(5);
  for (int step = 0; step < 200000; ++step) {
    const auto id = static_cast<std::int32_t>(1 + rng() % 5000);
    if (rng() % 3 == 0) {
      EXPECT_EQ(db.del_message(id), model.erase(id) ? 1 : 0);
    } else {
      bool is_new = false;
      const auto count = static_cast<std::int32_t>(step);
      MessageRecord* r = db.add_message(id, count, 0, 0, 0, is_new);
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(is_new, model.find(id) == model.end());
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
        }
      }
    }
  }
  EXPECT_EQ(db.freemessages(), static_cast<int>(model.size()));
  EXPECT_EQ(db.message_count(), 0u);
  EXPECT_EQ(db.find_message(static_cast<std::int32_t>(model.begin()->first)), nullptr);
}

}  // namespace
}  // namespace quarn
