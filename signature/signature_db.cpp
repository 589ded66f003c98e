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
constexpr std::size_t kMinTable = 16;

template <std::size_t N>
const char* name_at(const std::array<const char*, N>& names, std::int32_t index) {
  return index >= 0 && static_cast<std::size_t>(index) < N ? names[index] : "";
}

}  // namespace

const char* status_name(std::int32_t status) { return name_at(kStatusNames, status); }
const char* type_name(std::int32_t type) { return name_at(kTypeNames, type); }

SignatureDb::SignatureDb(Log& log, int buckets)
    : log_(log),
      table_(kMinTable, Slot{0, 0}),
      table_shift_(64 - 4),
      bucket_count_(std::max(buckets, 1)),
      buckets_(static_cast<std::size_t>(bucket_count_) + kExtraBuckets) {}

SignatureDb::~SignatureDb() = default;

std::size_t SignatureDb::home_slot(std::int32_t id) const {
  const std::uint64_t key = static_cast<std::uint32_t>(id);
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> table_shift_);
}

std::size_t SignatureDb::find_slot(std::int32_t id) const {
  const std::size_t mask = table_.size() - 1;
  for (std::size_t i = home_slot(id);; i = (i + 1) & mask) {
    if (table_[i].id == id) return i;
    if (table_[i].id == 0) return table_.size();
  }
}

void SignatureDb::grow_table() {
  std::vector<Slot> old(table_.size() * 2, Slot{0, 0});
  old.swap(table_);
  --table_shift_;
  const std::size_t mask = table_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.id == 0) continue;
    std::size_t i = home_slot(slot.id);
    while (table_[i].id != 0) i = (i + 1) & mask;
    table_[i] = slot;
  }
}

std::uint32_t SignatureDb::take_record() {
  if (!free_records_.empty()) {
    const std::uint32_t index = free_records_.back();
    free_records_.pop_back();
    return index;
  }
  if (records_used_ % kChunkRecords == 0) {
    chunks_.push_back(std::make_unique<MessageRecord[]>(kChunkRecords));
  }
  return records_used_++;
}

MessageRecord* SignatureDb::add_message(std::int32_t id, std::int32_t count,
                                        std::int32_t other_count, std::int32_t status,
                                        std::int32_t type, bool& is_new) {
  is_new = false;
  if (id < 1) return nullptr;
  MessageRecord* record = find_message(id);
  if (record == nullptr) {
    try {
      if ((message_count_ + 1) * 4 > table_.size() * 3) grow_table();
      const std::uint32_t index = take_record();
      const std::size_t mask = table_.size() - 1;
      std::size_t i = home_slot(id);
      while (table_[i].id != 0) i = (i + 1) & mask;
      table_[i] = Slot{id, index};
      ++message_count_;
      record = &record_at(index);
      *record = MessageRecord{};
      record->id = id;
      is_new = true;
    } catch (const std::bad_alloc&) {
      log_.emsg("add_message - Could not allocate memory for message\n");
      return nullptr;
    }
  }
  record->count = count;
  record->other_count = other_count;
  record->status = status;
  record->type = type;
  return record;
}

MessageRecord* SignatureDb::find_message(std::int32_t id) {
  if (id == 0) return nullptr;
  const std::size_t slot = find_slot(id);
  return slot == table_.size() ? nullptr : &record_at(table_[slot].record);
}

const MessageRecord* SignatureDb::find_message(std::int32_t id) const {
  if (id == 0) return nullptr;
  const std::size_t slot = find_slot(id);
  return slot == table_.size() ? nullptr : &record_at(table_[slot].record);
}

void SignatureDb::prefetch_record(std::int32_t id) const {
  const std::size_t slot = find_slot(id);
  if (slot != table_.size()) __builtin_prefetch(&record_at(table_[slot].record));
}

void SignatureDb::prefetch_entries(const PartCrcs& crcs) const {
  for (int p = 0; p < kPartCount; ++p) {
    const std::vector<CrcEntry>& entries = buckets_[bucket_of(crcs[p], p)];
    __builtin_prefetch(entries.data() + entries.size(), 1);
  }
}

int SignatureDb::del_message(std::int32_t id) {
  if (id == 0) return 0;
  std::size_t hole = find_slot(id);
  if (hole == table_.size()) return 0;
  const std::uint32_t index = table_[hole].record;
  record_at(index) = MessageRecord{};
  try {
    free_records_.push_back(index);
  } catch (const std::bad_alloc&) {
    // The slot is not reused; nothing else is lost.
  }
  --message_count_;

  // Backward-shift deletion keeps every probe sequence unbroken.
  const std::size_t mask = table_.size() - 1;
  table_[hole].id = 0;
  for (std::size_t j = (hole + 1) & mask; table_[j].id != 0; j = (j + 1) & mask) {
    const std::size_t home = home_slot(table_[j].id);
    const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    table_[hole] = table_[j];
    table_[j].id = 0;
    hole = j;
  }
  return 1;
}

int SignatureDb::freemessages() {
  const auto count = static_cast<int>(message_count_);
  chunks_.clear();
  chunks_.shrink_to_fit();
  free_records_.clear();
  free_records_.shrink_to_fit();
  records_used_ = 0;
  std::vector<Slot>(kMinTable, Slot{0, 0}).swap(table_);
  table_shift_ = 64 - 4;
  message_count_ = 0;
  return count;
}

void SignatureDb::addcrc(std::int32_t id, std::uint32_t value, int part) {
  if (part < 0 || part >= kPartCount) return;
  std::vector<CrcEntry>& entries = buckets_[bucket_of(value, part)];
  try {
    if (entries.size() == entries.capacity()) {
      // Grow by half instead of doubling: buckets are many and long-lived.
      entries.reserve(entries.capacity() + entries.capacity() / 2 + 4);
    }
    entries.push_back(CrcEntry{id, value});
    ++crc_entry_count_;
  } catch (const std::bad_alloc&) {
    log_.emsg("addcrc - Could not allocate memory for CRC\n");
  }
}

int SignatureDb::delcrc(std::int32_t id, std::uint32_t value, int part) {
  if (part < 0 || part >= kPartCount) return 0;
  std::vector<CrcEntry>& entries = buckets_[bucket_of(value, part)];
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->id == id && it->crc == value) {
      entries.erase(std::next(it).base());
      --crc_entry_count_;
      return 1;
    }
  }
  return 0;
}

void SignatureDb::freecrcs() {
  for (auto& entries : buckets_) std::vector<CrcEntry>().swap(entries);
  crc_entry_count_ = 0;
}

}  // namespace quarn
