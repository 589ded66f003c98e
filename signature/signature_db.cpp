#include "signature/signature_db.h"

#include <algorithm>
#include <array>
#include <new>

namespace quarn {
namespace {

constexpr std::array<const char*, 4> kStatusNames = {"Notify", "Suspected", "Spam", "Deleted"};
constexpr std::array<const char*, 5> kTypeNames = {"Advertising", "Porn", "Scam (Get rich quick)",
                                                   "Virus", "Robot-reported"};
// The nine parts' bucket ranges are offset by 9 each.
constexpr std::size_t kExtraBuckets = 9 * (kPartCount - 1);
constexpr std::size_t kMinSlots = 16;

template <std::size_t N>
const char* name_at(const std::array<const char*, N>& names, std::int32_t index) {
  return index >= 0 && static_cast<std::size_t>(index) < N ? names[index] : "";
}

// Tables are kept at most four fifths full.
bool too_full(std::size_t entries, std::size_t capacity) { return entries * 5 > capacity * 4; }

}  // namespace

const char* status_name(std::int32_t status) { return name_at(kStatusNames, status); }
const char* type_name(std::int32_t type) { return name_at(kTypeNames, type); }

SignatureDb::SignatureDb(Log& log, int buckets) : log_(log), bucket_count_(std::max(buckets, 1)) {}

SignatureDb::~SignatureDb() = default;

std::uint64_t SignatureDb::hash_of(std::uint32_t key) {
  std::uint64_t x = (key + 1ull) * 0x9E3779B97F4A7C15ull;
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  return x;
}

std::uint32_t SignatureDb::key_of(int table, std::uint32_t slot) const {
  if (table == kIdTable) return static_cast<std::uint32_t>(record_at(payload(slot)).id);
  if ((slot & kGroupFlag) != 0) return groups_[payload(slot)].value;
  return record_at(payload(slot)).crc[table];
}

std::size_t SignatureDb::find(int table, std::uint32_t key, std::size_t* vacant) const {
  const MappedArray<std::uint32_t>& slots = tables_[table].slots;
  const std::size_t capacity = slots.size();
  if (capacity == 0) return 0;
  const std::uint64_t hash = hash_of(key);
  const std::uint32_t check = check_bits(hash);
  for (std::size_t i = home_of(hash, capacity);;) {
    const std::uint32_t slot = slots[i];
    if (slot == 0) {
      if (vacant != nullptr) *vacant = i;
      return capacity;
    }
    if ((slot & 31) == check && key_of(table, slot) == key) return i;
    if (++i == capacity) i = 0;
  }
}

void SignatureDb::insert_slot(int table, std::uint32_t key, std::uint32_t slot) {
  MappedArray<std::uint32_t>& slots = tables_[table].slots;
  const std::size_t capacity = slots.size();
  std::size_t i = home_of(hash_of(key), capacity);
  while (slots[i] != 0) {
    if (++i == capacity) i = 0;
  }
  slots[i] = slot;
  ++tables_[table].used;
}

void SignatureDb::remove_slot(int table, std::size_t index) {
  MappedArray<std::uint32_t>& slots = tables_[table].slots;
  const std::size_t capacity = slots.size();
  // Backward-shift deletion keeps every probe sequence unbroken.
  std::size_t hole = index;
  slots[hole] = 0;
  for (std::size_t j = hole + 1 == capacity ? 0 : hole + 1; slots[j] != 0;
       j = j + 1 == capacity ? 0 : j + 1) {
    const std::size_t home = home_of(hash_of(key_of(table, slots[j])), capacity);
    const std::size_t from_home = (j + capacity - home) % capacity;
    const std::size_t from_hole = (j + capacity - hole) % capacity;
    if (from_home < from_hole) continue;
    slots[hole] = slots[j];
    slots[j] = 0;
    hole = j;
  }
  --tables_[table].used;
}

void SignatureDb::rebuild(int table, std::size_t capacity) {
  MappedArray<std::uint32_t> old(capacity);
  old.swap(tables_[table].slots);
  tables_[table].used = 0;
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < old.size(); ++i) {
    // The keys live in the records: ask for them ahead.
    if (i + kAhead < old.size() && old[i + kAhead] != 0 && (old[i + kAhead] & kGroupFlag) == 0) {
      __builtin_prefetch(&record_at(payload(old[i + kAhead])));
    }
    if (old[i] != 0) insert_slot(table, key_of(table, old[i]), old[i]);
  }
}

void SignatureDb::make_room(int table, std::size_t entries) {
  const std::size_t capacity = tables_[table].slots.size();
  if (!too_full(entries, capacity)) return;
  rebuild(table, std::max({kMinSlots, capacity + capacity / 2, entries + entries / 4 + 1}));
}

void SignatureDb::reserve(std::size_t records) {
  records = std::min(records, kMaxRecords);
  for (int t = 0; t <= kIdTable; ++t) {
    if (too_full(records, tables_[t].slots.size())) rebuild(t, records + records / 4 + kMinSlots);
  }
}

std::optional<RecordRef> SignatureDb::find_ref(std::int32_t id) const {
  const auto key = static_cast<std::uint32_t>(id);
  const std::size_t index = find(kIdTable, key);
  if (index == tables_[kIdTable].slots.size()) return std::nullopt;
  return payload(tables_[kIdTable].slots[index]);
}

const MessageRecord* SignatureDb::find_message(std::int32_t id) const {
  if (id < 1) return nullptr;
  const std::optional<RecordRef> ref = find_ref(id);
  return ref ? &record_at(*ref) : nullptr;
}

void SignatureDb::prefetch_message(std::int32_t id) const {
  const MappedArray<std::uint32_t>& slots = tables_[kIdTable].slots;
  if (!slots.empty()) {
    __builtin_prefetch(&slots[home_of(hash_of(static_cast<std::uint32_t>(id)), slots.size())]);
  }
}

void SignatureDb::prefetch_keys(std::int32_t id, const PartCrcs* crcs) const {
  prefetch_keys_of(kIdTable, static_cast<std::uint32_t>(id));
  if (crcs == nullptr) return;
  for (int p = 0; p < kPartCount; ++p) prefetch_keys_of(p, (*crcs)[p]);
}

void SignatureDb::prefetch_keys_of(int table, std::uint32_t key) const {
  const MappedArray<std::uint32_t>& slots = tables_[table].slots;
  const std::size_t capacity = slots.size();
  if (capacity == 0) return;
  const std::uint64_t hash = hash_of(key);
  const std::uint32_t check = check_bits(hash);
  std::size_t i = home_of(hash, capacity);
  for (int probes = 0; probes < 16 && slots[i] != 0; ++probes) {
    const std::uint32_t slot = slots[i];
    if ((slot & 31) == check) {
      if ((slot & kGroupFlag) != 0) {
        __builtin_prefetch(&groups_[payload(slot)]);
      } else if (table == kIdTable) {
        __builtin_prefetch(&record_at(payload(slot)).id);
      } else {
        __builtin_prefetch(&record_at(payload(slot)).crc[table]);
      }
    }
    if (++i == capacity) i = 0;
  }
}

void SignatureDb::prefetch_value(int part, std::uint32_t value) const {
  const MappedArray<std::uint32_t>& slots = tables_[part].slots;
  if (!slots.empty()) __builtin_prefetch(&slots[home_of(hash_of(value), slots.size())]);
}

void SignatureDb::index_add(int part, std::uint32_t value, RecordRef ref) {
  make_room(part, tables_[part].used + 1);
  std::size_t vacant = 0;
  const std::size_t index = find(part, value, &vacant);
  MappedArray<std::uint32_t>& slots = tables_[part].slots;
  const std::uint64_t hash = hash_of(value);
  if (index == slots.size()) {
    slots[vacant] = make_slot(ref, false, hash);
    ++tables_[part].used;
  } else if ((slots[index] & kGroupFlag) != 0) {
    groups_[payload(slots[index])].members.push_back(ref);
  } else {
    // A second record with this value: the slot now names a group.
    std::uint32_t number;
    if (free_groups_.empty()) {
      if (groups_.size() >= kMaxRecords) throw std::bad_alloc();
      groups_.emplace_back();
      number = static_cast<std::uint32_t>(groups_.size() - 1);
    } else {
      number = free_groups_.back();
      free_groups_.pop_back();
    }
    Group& group = groups_[number];
    group.value = value;
    group.members = {payload(slots[index]), ref};
    slots[index] = make_slot(number, true, hash);
  }
  ++crc_entry_count_;
}

void SignatureDb::index_remove(int part, std::uint32_t value, RecordRef ref) {
  const std::size_t index = find(part, value);
  MappedArray<std::uint32_t>& slots = tables_[part].slots;
  if (index == slots.size()) return;
  const std::uint32_t slot = slots[index];
  if ((slot & kGroupFlag) == 0) {
    if (payload(slot) != ref) return;
    remove_slot(part, index);
    --crc_entry_count_;
    return;
  }
  const std::uint32_t number = payload(slot);
  std::vector<RecordRef>& members = groups_[number].members;
  const auto it = std::find(members.begin(), members.end(), ref);
  if (it == members.end()) return;
  *it = members.back();
  members.pop_back();
  --crc_entry_count_;
  if (members.size() == 1) {
    slots[index] = make_slot(members.front(), false, hash_of(value));
    std::vector<RecordRef>().swap(members);
    try {
      free_groups_.push_back(number);
    } catch (const std::bad_alloc&) {
      // The group number is not reused; nothing else is lost.
    }
  }
}

RecordRef SignatureDb::take_record() {
  if (!free_records_.empty()) {
    const RecordRef ref = free_records_.back();
    free_records_.pop_back();
    return ref;
  }
  if (records_used_ >= kMaxRecords) throw std::bad_alloc();
  if (records_used_ % kChunkRecords == 0) {
    chunks_.emplace_back(kChunkRecords);
  }
  return records_used_++;
}

std::uint32_t SignatureDb::next_stamp() {
  if (last_stamp_ == UINT32_MAX) {
    // Renumber the records in their order so that stamps go on rising.
    std::vector<MessageRecord*> records;
    records.reserve(message_count_);
    for (std::uint32_t i = 0; i < records_used_; ++i) {
      if (record_at(i).id != 0) records.push_back(&record_at(i));
    }
    std::sort(records.begin(), records.end(),
              [](const MessageRecord* a, const MessageRecord* b) { return a->stamp < b->stamp; });
    last_stamp_ = 0;
    for (MessageRecord* r : records) r->stamp = ++last_stamp_;
  }
  return ++last_stamp_;
}

const MessageRecord* SignatureDb::put(std::int32_t id, std::int32_t count,
                                      std::int32_t other_count, std::int32_t status,
                                      std::int32_t type, const PartCrcs& crcs) {
  if (id < 1) return nullptr;
  if (!index_deferred_) {
    for (int p = 0; p < kPartCount; ++p) prefetch_value(p, crcs[p]);
  }
  RecordRef ref;
  std::size_t vacant = 0;
  if (tables_[kIdTable].slots.empty() || too_full(tables_[kIdTable].used + 1, tables_[kIdTable].slots.size())) {
    try {
      make_room(kIdTable, tables_[kIdTable].used + 1);
    } catch (const std::bad_alloc&) {
      log_.emsg("add_message - Could not allocate memory for message\n");
      return nullptr;
    }
  }
  const std::size_t found = find(kIdTable, static_cast<std::uint32_t>(id), &vacant);
  if (found != tables_[kIdTable].slots.size()) {
    ref = payload(tables_[kIdTable].slots[found]);
    const MessageRecord& old = record_at(ref);
    if (has_buckets()) bucket_remove(ref);
    if (!index_deferred_) {
      for (int p = 0; p < kPartCount; ++p) index_remove(p, old.crc[p], ref);
    }
  } else {
    try {
      ref = take_record();
    } catch (const std::bad_alloc&) {
      log_.emsg("add_message - Could not allocate memory for message\n");
      return nullptr;
    }
    record_at(ref) = MessageRecord{};
    record_at(ref).id = id;
    tables_[kIdTable].slots[vacant] = make_slot(ref, false, hash_of(static_cast<std::uint32_t>(id)));
    ++tables_[kIdTable].used;
    ++message_count_;
  }

  MessageRecord& record = record_at(ref);
  record.count = count;
  record.other_count = other_count;
  record.status = status;
  record.type = type;
  record.stamp = next_stamp();
  record.crc = crcs;
  for (int p = 0; p < kPartCount && !index_deferred_; ++p) {
    try {
      index_add(p, crcs[p], ref);
    } catch (const std::bad_alloc&) {
      log_.emsg("addcrc - Could not allocate memory for CRC\n");
    }
  }
  if (has_buckets()) {
    try {
      bucket_add(ref);
    } catch (const std::bad_alloc&) {
      // Built again, whole, when next needed.
      std::vector<std::vector<BucketEntry>>().swap(buckets_);
    }
  }
  return &record;
}

int SignatureDb::erase(std::int32_t id) {
  if (id < 1) return 0;
  const std::optional<RecordRef> ref = find_ref(id);
  if (!ref) return 0;
  MessageRecord& record = record_at(*ref);
  if (has_buckets()) bucket_remove(*ref);
  if (!index_deferred_) {
    for (int p = 0; p < kPartCount; ++p) index_remove(p, record.crc[p], *ref);
  }
  remove_slot(kIdTable, find(kIdTable, static_cast<std::uint32_t>(id)));
  record = MessageRecord{};
  try {
    free_records_.push_back(*ref);
  } catch (const std::bad_alloc&) {
    // The record is not reused; nothing else is lost.
  }
  --message_count_;
  return 1;
}

bool SignatureDb::defer_index() {
  if (message_count_ != 0) return false;
  // Rebuilt on demand once the index is whole again.
  std::vector<std::vector<BucketEntry>>().swap(buckets_);
  index_deferred_ = true;
  return true;
}

void SignatureDb::index_all() {
  if (!index_deferred_) return;
  index_deferred_ = false;
  // Part by part: the part's values are copied out of the records in one
  // sequential pass, then entered in store order with each slot asked for
  // well ahead. The copy also answers the key checks of the slots met on
  // the way, which would otherwise each read a record.
  std::vector<std::uint32_t> values;
  try {
    values.resize(records_used_);
  } catch (const std::bad_alloc&) {
    // Entered one by one instead, as updates enter them.
  }
  for (int p = 0; p < kPartCount; ++p) {
    Table& table = tables_[p];
    try {
      make_room(p, table.used + message_count_);
    } catch (const std::bad_alloc&) {
      // The table grows entry by entry instead.
    }
    const bool fast = !values.empty() && table.used == 0 &&
                      !too_full(message_count_, table.slots.size());
    if (fast) {
      for (std::uint32_t i = 0; i < records_used_; ++i) values[i] = record_at(i).crc[p];
    }
    // Without freed records in the store every record is live.
    const bool all_live = records_used_ == message_count_;
    for (std::uint32_t i = 0; i < records_used_; ++i) {
      if (fast && i + kIndexAhead < records_used_) {
        __builtin_prefetch(&table.slots[home_of(hash_of(values[i + kIndexAhead]), table.slots.size())]);
      }
      if (fast && i + kIndexAhead / 2 < records_used_) {
        prefetch_first_keys(p, values, values[i + kIndexAhead / 2]);
      }
      if (!all_live && record_at(i).id == 0) continue;
      if (fast && add_first(p, values, i)) continue;
      try {
        index_add(p, record_at(i).crc[p], i);
      } catch (const std::bad_alloc&) {
        log_.emsg("addcrc - Could not allocate memory for CRC\n");
      }
    }
  }
}

void SignatureDb::prefetch_first_keys(int part, std::span<const std::uint32_t> values,
                                      std::uint32_t value) const {
  const MappedArray<std::uint32_t>& slots = tables_[part].slots;
  const std::uint64_t hash = hash_of(value);
  const std::uint32_t check = check_bits(hash);
  std::size_t i = home_of(hash, slots.size());
  for (int probes = 0; probes < 8 && slots[i] != 0; ++probes) {
    const std::uint32_t slot = slots[i];
    if ((slot & (kGroupFlag | 31)) == check) __builtin_prefetch(&values[payload(slot)]);
    if (++i == slots.size()) i = 0;
  }
}

bool SignatureDb::add_first(int part, std::span<const std::uint32_t> values, RecordRef ref) {
  Table& table = tables_[part];
  const std::size_t capacity = table.slots.size();
  const std::uint32_t value = values[ref];
  const std::uint64_t hash = hash_of(value);
  const std::uint32_t check = check_bits(hash);
  for (std::size_t i = home_of(hash, capacity);;) {
    const std::uint32_t slot = table.slots[i];
    if (slot == 0) {
      table.slots[i] = make_slot(ref, false, hash);
      ++table.used;
      ++crc_entry_count_;
      return true;
    }
    if ((slot & 31) == check) {
      const std::uint32_t key = (slot & kGroupFlag) != 0 ? groups_[payload(slot)].value : values[payload(slot)];
      if (key == value) return false;
    }
    if (++i == capacity) i = 0;
  }
}

int SignatureDb::freemessages() {
  const auto count = static_cast<int>(message_count_);
  chunks_.clear();
  chunks_.shrink_to_fit();
  std::vector<RecordRef>().swap(free_records_);
  records_used_ = 0;
  message_count_ = 0;
  last_stamp_ = 0;
  for (Table& table : tables_) table = Table{};
  std::vector<Group>().swap(groups_);
  std::vector<std::uint32_t>().swap(free_groups_);
  crc_entry_count_ = 0;
  std::vector<std::vector<BucketEntry>>().swap(buckets_);
  index_deferred_ = false;
  return count;
}

void SignatureDb::freecrcs() { std::vector<std::vector<BucketEntry>>().swap(buckets_); }

std::span<const SignatureDb::BucketEntry> SignatureDb::bucket(std::size_t index) {
  if (!has_buckets()) build_buckets();
  return buckets_[index];
}

void SignatureDb::build_buckets() {
  buckets_.resize(static_cast<std::size_t>(bucket_count_) + kExtraBuckets);
  std::vector<RecordRef> order;
  order.reserve(message_count_);
  for (std::uint32_t i = 0; i < records_used_; ++i) {
    if (record_at(i).id != 0) order.push_back(i);
  }
  std::sort(order.begin(), order.end(),
            [this](RecordRef a, RecordRef b) { return record_at(a).stamp < record_at(b).stamp; });
  for (const RecordRef ref : order) bucket_add(ref);
}

void SignatureDb::bucket_add(RecordRef ref) {
  const MessageRecord& record = record_at(ref);
  for (int p = 0; p < kPartCount; ++p) {
    buckets_[bucket_of(record.crc[p], p)].push_back(
        BucketEntry{ref << 4 | static_cast<std::uint32_t>(p)});
  }
}

void SignatureDb::bucket_remove(RecordRef ref) {
  const MessageRecord& record = record_at(ref);
  for (int p = 0; p < kPartCount; ++p) {
    std::vector<BucketEntry>& entries = buckets_[bucket_of(record.crc[p], p)];
    const std::uint32_t bits = ref << 4 | static_cast<std::uint32_t>(p);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      if (it->bits == bits) {
        entries.erase(std::next(it).base());
        break;
      }
    }
  }
}

}  // namespace quarn
