// The signature database: one record per known spam message and an index
// from part CRC values to the records that carry them.
//
// Message record: id (at least 1, the key), count (reports as spam),
// other count (what count is divided by for the ratio test; 0 = no limit),
// status (index into the status names), type (index into the type names)
// and the nine part CRCs.
//
// CRC index: one table of N + 72 buckets shared by the nine parts. The
// entry of part p with value v lives in bucket (v mod N) + 9 * p, so the
// parts' bucket ranges overlap and a bucket may hold entries of several
// parts; an entry holds only a message id and a CRC value. A new entry goes
// to the front of its bucket, and a walk visits a bucket newest entry first.
// Each bucket is stored as a vector in insertion order and walked from its
// back, which gives the same order without a list node per entry.
//
// Ownership and threads: the engine owns one `SignatureDb`. Its mutex (the
// database mutex) guards everything here: the update code holds it (60 s
// limit) around add/delete, the matcher (15 s limit) around its walk. The
// methods below do not take it themselves; callers hold it. Records handed
// out stay valid until they are deleted or the records are freed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "signature/crc.h"
#include "support/log.h"
#include "support/mutex.h"

namespace quarn {

struct MessageRecord {
  std::int32_t id = 0;
  std::int32_t count = 0;
  std::int32_t other_count = 0;
  std::int32_t status = 0;
  std::int32_t type = 0;
  PartCrcs crc{};
};

// One entry of the CRC index.
struct CrcEntry {
  std::int32_t id;
  std::uint32_t crc;
};

// "Notify", "Suspected", "Spam", "Deleted"; "" for any other value.
const char* status_name(std::int32_t status);
// "Advertising", "Porn", "Scam (Get rich quick)", "Virus", "Robot-reported";
// "" for any other value.
const char* type_name(std::int32_t type);

// The status that TRUST_ISSPAM trusts.
inline constexpr std::int32_t kStatusSpam = 2;

class SignatureDb {
 public:
  static constexpr int kDefaultBuckets = 10000;
  // Part weights for matching, in part order; 17 in total.
  static constexpr std::array<int, kPartCount> kWeights = {1, 1, 2, 3, 2, 2, 2, 2, 2};

  // `buckets` is N, the bucket count per part (at least 1).
  explicit SignatureDb(Log& log, int buckets = kDefaultBuckets);
  SignatureDb(const SignatureDb&) = delete;
  SignatureDb& operator=(const SignatureDb&) = delete;
  ~SignatureDb();

  MutexRec& mutex() { return mutex_; }
  Log& log() { return log_; }

  // Message records.
  //
  // Creates record `id` with the four numbers and nine CRCs of 0
  // (`is_new` true), or overwrites the four numbers of the existing one
  // (`is_new` false). Null for an id below 1 and, after logging "add_message
  // - Could not allocate memory for message\n", when memory runs out.
  MessageRecord* add_message(std::int32_t id, std::int32_t count, std::int32_t other_count,
                             std::int32_t status, std::int32_t type, bool& is_new);
  MessageRecord* find_message(std::int32_t id);
  const MessageRecord* find_message(std::int32_t id) const;
  // Removes the record (not its index entries); 1 when it existed, else 0.
  int del_message(std::int32_t id);
  std::size_t message_count() const { return message_count_; }
  // Calls `visit(const MessageRecord&)` for every record, in no set order.
  template <class Visit>
  void for_each_message(Visit&& visit) const {
    for (std::uint32_t i = 0; i < records_used_; ++i) {
      const MessageRecord& record = record_at(i);
      if (record.id != 0) visit(record);
    }
  }
  // Frees every record; returns how many there were.
  int freemessages();

  // CRC index.
  //
  // Adds an entry at the front of bucket (value, part); logs "addcrc - Could
  // not allocate memory for CRC\n" and adds nothing when memory runs out.
  void addcrc(std::int32_t id, std::uint32_t value, int part);
  // Removes the first entry (in visiting order) of bucket (value, part)
  // holding both `id` and `value`; 1 when found, else 0.
  int delcrc(std::int32_t id, std::uint32_t value, int part);
  // Frees every index entry.
  void freecrcs();

  int bucket_count() const { return bucket_count_; }
  std::size_t bucket_of(std::uint32_t value, int part) const {
    return value % static_cast<std::uint32_t>(bucket_count_) + 9 * static_cast<std::size_t>(part);
  }
  // The entries of a bucket, oldest first: walk it from the back.
  std::span<const CrcEntry> bucket(std::size_t index) const { return buckets_[index]; }
  std::size_t crc_entry_count() const { return crc_entry_count_; }

  // Cache hints for walks that will soon look up `id`: the first brings in
  // its table slot, the second (once the slot is cached) its record.
  void prefetch_slot(std::int32_t id) const { __builtin_prefetch(&table_[home_slot(id)]); }
  void prefetch_record(std::int32_t id) const;
  // Cache hint for storing entries of these nine values.
  void prefetch_entries(const PartCrcs& crcs) const;

 private:
  struct Slot {
    std::int32_t id;       // 0: empty
    std::uint32_t record;  // index into the record store
  };
  static constexpr std::size_t kChunkRecords = 4096;

  MessageRecord& record_at(std::uint32_t index) {
    return chunks_[index / kChunkRecords][index % kChunkRecords];
  }
  const MessageRecord& record_at(std::uint32_t index) const {
    return chunks_[index / kChunkRecords][index % kChunkRecords];
  }
  std::size_t home_slot(std::int32_t id) const;
  std::size_t find_slot(std::int32_t id) const;  // table size when absent
  void grow_table();
  std::uint32_t take_record();

  Log& log_;
  MutexRec mutex_{"db"};

  // Records live in fixed chunks (addresses never move); freed ones are
  // reused. An open-addressing table maps ids to them.
  std::vector<std::unique_ptr<MessageRecord[]>> chunks_;
  std::uint32_t records_used_ = 0;
  std::vector<std::uint32_t> free_records_;
  std::vector<Slot> table_;
  int table_shift_ = 64;
  std::size_t message_count_ = 0;

  const int bucket_count_;
  std::vector<std::vector<CrcEntry>> buckets_;
  std::size_t crc_entry_count_ = 0;
};

}  // namespace quarn
