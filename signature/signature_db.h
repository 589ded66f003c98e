// The signature database: one record per known spam message and an index
// from part CRC values to the records that carry them.
//
// Message record: id (at least 1, the key), count (reports as spam),
// other count (what count is divided by for the ratio test; 0 = no limit),
// status (index into the status names), type (index into the type names),
// the nine part CRCs, and a stamp that orders records by when they were
// last stored (larger is newer).
//
// A record and its nine index entries change together: `put` stores or
// replaces a record with all its entries, `erase` removes both, and nothing
// else changes them, so an index entry never outlives its record. Loading
// into an empty database may defer the value index and build it whole at
// the end (`defer_index`, `index_all`), under one hold of the mutex.
//
// Value index: for each part, the exact list of records holding a value in
// that part (values of 0 included), found in constant time.
//
// Bucket order: the matcher visits records in the order of a table of
// N + 72 buckets shared by the nine parts. The entry of part p with value v
// lies in bucket (v mod N) + 9 * p, so the parts' bucket ranges overlap and
// a bucket may hold entries of several parts; a new entry goes to the front
// of its bucket and a walk visits a bucket newest entry first. A record's
// nine entries are stored together, part by part, so the entry of part p of
// a record is ordered by (stamp, p). The bucket table itself is only built
// on demand (`buckets`) and kept up to date from then on; matching with
// MATCH_MIN above 0 never needs it (see signature/matcher.h).
//
// Ownership and threads: the engine owns one `SignatureDb`. Its mutex (the
// database mutex) guards everything here: the update code holds it (60 s
// limit) around put/erase, the matcher (15 s limit) around its match. The
// methods below do not take it themselves; callers hold it. Records handed
// out stay valid until they are erased or the records are freed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "signature/crc.h"
#include "signature/mapped_array.h"
#include "support/log.h"
#include "support/mutex.h"

namespace quarn {

struct MessageRecord {
  std::int32_t id = 0;
  std::int32_t count = 0;
  std::int32_t other_count = 0;
  std::int32_t status = 0;
  std::int32_t type = 0;
  std::uint32_t stamp = 0;
  PartCrcs crc{};
};

// Where a record lives in the store; stable while the record exists.
using RecordRef = std::uint32_t;

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
  // The store holds at most this many records; more fail as out of memory.
  static constexpr std::size_t kMaxRecords = (std::size_t{1} << 26) - 2;

  // An entry of the bucket table: the record and the part.
  struct BucketEntry {
    std::uint32_t bits;
    RecordRef ref() const { return bits >> 4; }
    int part() const { return static_cast<int>(bits & 15u); }
  };

  // `buckets` is N, the bucket count per part (at least 1).
  explicit SignatureDb(Log& log, int buckets = kDefaultBuckets);
  SignatureDb(const SignatureDb&) = delete;
  SignatureDb& operator=(const SignatureDb&) = delete;
  ~SignatureDb();

  MutexRec& mutex() { return mutex_; }
  Log& log() { return log_; }

  // Stores record `id` with these numbers and part CRCs, replacing the
  // record of that id and its index entries if there is one; the record
  // becomes the newest. Null for an id below 1 and, after logging
  // "add_message - Could not allocate memory for message\n", when memory
  // runs out. A value index entry that cannot be made for lack of memory is
  // logged "addcrc - Could not allocate memory for CRC\n"; the record is then
  // not found through that part.
  const MessageRecord* put(std::int32_t id, std::int32_t count, std::int32_t other_count,
                           std::int32_t status, std::int32_t type, const PartCrcs& crcs);
  // Removes the record and its index entries; 1 when it existed, else 0.
  int erase(std::int32_t id);

  const MessageRecord* find_message(std::int32_t id) const;
  std::size_t message_count() const { return message_count_; }
  // Calls `visit(const MessageRecord&)` for every record, in no set order.
  template <class Visit>
  void for_each_message(Visit&& visit) const {
    for (std::uint32_t i = 0; i < records_used_; ++i) {
      const MessageRecord& record = record_at(i);
      if (record.id != 0) visit(record);
    }
  }
  const MessageRecord& record(RecordRef ref) const { return record_at(ref); }

  // Makes room for `records` records in all, so that loading that many
  // does not rehash on the way.
  void reserve(std::size_t records);

  // Loading into an empty database: from `defer_index` until `index_all`,
  // put and erase keep the records and their ids only, and `index_all` then
  // builds the value index whole in one pass over the records, which costs
  // far less than nine scattered inserts and removals a record. The caller
  // holds the mutex from one to the other, so nothing looks values up in
  // between. `defer_index` does nothing and returns false when the database
  // holds records.
  bool defer_index();
  void index_all();
  bool index_deferred() const { return index_deferred_; }

  // Frees every record and index entry; returns how many records there were.
  int freemessages();
  // Frees what is left of the index (nothing after `freemessages`).
  void freecrcs();

  // Calls `visit(RecordRef)` for every record whose part `part` holds
  // `value`, in no set order.
  template <class Visit>
  void for_each_with(int part, std::uint32_t value, Visit&& visit) const;
  // Cache hint for a coming lookup of record `id`.
  void prefetch_message(std::int32_t id) const;
  // Cache hint for a coming `for_each_with(part, value)`.
  void prefetch_value(int part, std::uint32_t value) const;
  // Second cache hint, once the slots asked for above have arrived: the
  // records (or groups) a lookup of `id` and, when given, of the nine
  // values will compare against.
  void prefetch_keys(std::int32_t id, const PartCrcs* crcs) const;
  void prefetch_value_keys(int part, std::uint32_t value) const { prefetch_keys_of(part, value); }

  int bucket_count() const { return bucket_count_; }
  std::size_t bucket_of(std::uint32_t value, int part) const {
    return value % static_cast<std::uint32_t>(bucket_count_) + 9 * static_cast<std::size_t>(part);
  }
  // The bucket table (built on first use, then kept up to date): the
  // entries of bucket `index`, oldest first, so walk it from the back.
  std::span<const BucketEntry> bucket(std::size_t index);
  bool has_buckets() const { return !buckets_.empty(); }
  // Index entries in all (nine per record).
  std::size_t crc_entry_count() const { return crc_entry_count_; }

 private:
  // An open-addressing table of 32-bit slots, linear probing: a slot holds
  // (payload + 1) << 6 | group flag << 5 | 5 bits of the key's hash, 0 when
  // empty. The payload is a record ref, or for a value several records
  // share, the number of its group. Keys live in the records (or groups),
  // the hash bits spare most lookups a visit to them.
  struct Table {
    MappedArray<std::uint32_t> slots;
    std::size_t used = 0;
  };
  struct Group {
    std::uint32_t value = 0;
    std::vector<RecordRef> members;
  };
  // 2 MB of records a chunk: one huge page.
  static constexpr std::size_t kChunkRecords = (std::size_t{2} << 20) / sizeof(MessageRecord);
  static constexpr std::uint32_t kGroupFlag = 32;
  // How many records ahead building the index asks for a slot.
  static constexpr std::uint32_t kIndexAhead = 32;

  MessageRecord& record_at(std::uint32_t index) {
    return chunks_[index / kChunkRecords][index % kChunkRecords];
  }
  const MessageRecord& record_at(std::uint32_t index) const {
    return chunks_[index / kChunkRecords][index % kChunkRecords];
  }
  static std::uint64_t hash_of(std::uint32_t key);
  static std::size_t home_of(std::uint64_t hash, std::size_t capacity) {
    return static_cast<std::size_t>(((hash >> 32) * capacity) >> 32);
  }
  static std::uint32_t payload(std::uint32_t slot) { return (slot >> 6) - 1; }
  static std::uint32_t check_bits(std::uint64_t hash) { return static_cast<std::uint32_t>(hash & 31); }
  static std::uint32_t make_slot(std::uint32_t payload, bool group, std::uint64_t hash) {
    return ((payload + 1) << 6) | (group ? kGroupFlag : 0) | check_bits(hash);
  }
  void prefetch_keys_of(int table, std::uint32_t key) const;
  // The key a slot stands for: the id (table of ids) or the part value.
  std::uint32_t key_of(int table, std::uint32_t slot) const;
  // The slot index holding key, or the table's capacity; `vacant`, when
  // given, receives the empty slot where the key would go.
  std::size_t find(int table, std::uint32_t key, std::size_t* vacant = nullptr) const;
  void insert_slot(int table, std::uint32_t key, std::uint32_t slot);
  void remove_slot(int table, std::size_t index);
  void rebuild(int table, std::size_t capacity);
  void make_room(int table, std::size_t entries);
  std::optional<RecordRef> find_ref(std::int32_t id) const;
  void index_add(int part, std::uint32_t value, RecordRef ref);
  void index_remove(int part, std::uint32_t value, RecordRef ref);
  // While the index is built whole: enters record `ref` in the table of
  // `part` unless a record entered before holds its value (then false,
  // nothing changed). `values` holds every record's value of that part;
  // the table has room.
  bool add_first(int part, std::span<const std::uint32_t> values, RecordRef ref);
  // Cache hint for a coming `add_first` of `value`, once its slots have
  // arrived: the values its key checks will read.
  void prefetch_first_keys(int part, std::span<const std::uint32_t> values,
                           std::uint32_t value) const;
  RecordRef take_record();
  std::uint32_t next_stamp();
  void build_buckets();
  void bucket_add(RecordRef ref);
  void bucket_remove(RecordRef ref);

  Log& log_;
  MutexRec mutex_{"db"};

  // Records live in fixed chunks (addresses never move); freed ones are
  // reused.
  std::vector<MappedArray<MessageRecord>> chunks_;
  std::uint32_t records_used_ = 0;
  std::vector<RecordRef> free_records_;
  std::size_t message_count_ = 0;
  std::uint32_t last_stamp_ = 0;

  // Table kIdTable maps ids to records; tables 0 to 8 map part values.
  static constexpr int kIdTable = kPartCount;
  std::array<Table, kPartCount + 1> tables_;
  std::vector<Group> groups_;
  std::vector<std::uint32_t> free_groups_;
  std::size_t crc_entry_count_ = 0;

  const int bucket_count_;
  std::vector<std::vector<BucketEntry>> buckets_;  // empty until first used
  bool index_deferred_ = false;
};

template <class Visit>
void SignatureDb::for_each_with(int part, std::uint32_t value, Visit&& visit) const {
  const std::size_t index = find(part, value);
  const Table& table = tables_[part];
  if (index == table.slots.size()) return;
  const std::uint32_t slot = table.slots[index];
  if ((slot & kGroupFlag) == 0) {
    visit(payload(slot));
    return;
  }
  for (const RecordRef ref : groups_[payload(slot)].members) visit(ref);
}

}  // namespace quarn
