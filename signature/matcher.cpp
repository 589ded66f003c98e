#include "signature/matcher.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "support/text.h"

namespace quarn {
namespace {

constexpr std::array<const char*, kPartCount> kPartLabels = {
    ",From", ",Subject", ",Received", ",Message ID", ",Body 1",
    ",Body 2", ",Body 3", ",Body 4", ",Body 5"};
constexpr int kTotalWeight = 17;
constexpr float kFullMatchScore = 6.0f;

struct Agreement {
  int parts = 0;   // n
  int weight = 0;  // S
};

bool header_counts(int part, std::uint32_t scanned, bool allow_null_head) {
  return part >= kFirstBodyPart || scanned != 0 || allow_null_head;
}

Agreement agree(const PartCrcs& scanned, const PartCrcs& stored, bool allow_null_head) {
  Agreement a;
  for (int k = 0; k < kPartCount; ++k) {
    if (scanned[k] != stored[k] || !header_counts(k, scanned[k], allow_null_head)) continue;
    ++a.parts;
    a.weight += SignatureDb::kWeights[k];
  }
  return a;
}

bool qualifies(const MessageRecord& record, std::int32_t count_min, std::int32_t ratio_min) {
  if (record.count < count_min) return false;
  if (record.other_count == 0) return true;
  // 64-bit: INT32_MIN / -1 must not trap.
  return std::int64_t{record.count} / record.other_count > ratio_min;
}

void bump(std::int32_t& counter) {
  counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + 1u);
}

// A list that lives on the stack while short; the usual match has a handful
// of candidates.
template <class T, std::size_t N>
class ShortList {
 public:
  void push_back(const T& value) {
    if (size_ < N) {
      inline_[size_++] = value;
      return;
    }
    if (heap_.empty()) heap_.assign(inline_.begin(), inline_.end());
    heap_.push_back(value);
    ++size_;
  }
  T* begin() { return size_ <= N ? inline_.data() : heap_.data(); }
  T* end() { return begin() + size_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void resize_down(std::size_t size) {
    if (size_ > N && size <= N) {
      std::copy(heap_.begin(), heap_.begin() + static_cast<std::ptrdiff_t>(size), inline_.begin());
      heap_.clear();
    } else if (size_ > N) {
      heap_.resize(size);
    }
    size_ = size;
  }

 private:
  std::array<T, N> inline_{};
  std::vector<T> heap_;
  std::size_t size_ = 0;
};

// One match: records are offered in visiting order until one is the full
// match; what is left is the best partial score.
class Match {
 public:
  Match(SignatureDb& db, Settings& settings, const PartCrcs& crcs)
      : db_(db),
        settings_(settings),
        crcs_(crcs),
        match_min_(settings.get_int(IniKey::MATCH_MIN)),
        ratio_min_(settings.get_int(IniKey::RATIO_MIN)),
        count_min_(settings.get_int(IniKey::COUNT_MIN)),
        allow_null_head_(settings.is_true(IniKey::ALLOW_NULL_HEAD)) {
    for (int p = 0; p < kPartCount; ++p) walked_[p] = db.bucket_of(crcs[p], p);
  }

  bool needs_walk() const { return match_min_ <= 0; }

  // True when `record` is the full match.
  bool offer(const MessageRecord& record) {
    if (!qualifies(record, count_min_, ratio_min_)) return false;
    const Agreement a = agree(crcs_, record.crc, allow_null_head_);
    if (a.weight > best_) {
      best_ = a.weight;
      best_record_ = &record;
    }
    if (a.parts < match_min_) return false;
    // SCORE_MIN and TRUST_ISSPAM are read when the full-match test is
    // first reached.
    if (!score_min_) {
      score_min_ = settings_.get_int(IniKey::SCORE_MIN);
      trust_isspam_ = settings_.is_true(IniKey::TRUST_ISSPAM);
    }
    if (a.weight < *score_min_ && !(trust_isspam_ && record.status == kStatusSpam)) return false;
    result_.matched = true;
    result_.score = a.weight;
    result_.status = status_name(record.status);
    result_.type = type_name(record.type);
    result_.count = record.count;
    result_.id = record.id;
    return true;
  }

  // The nine buckets, entry by entry.
  void walk() {
    for (int p = 0; p < kPartCount; ++p) {
      const auto entries = db_.bucket(walked_[p]);
      for (std::size_t i = entries.size(); i-- > 0;) {
        if (offer(db_.record(entries[i].ref()))) return;
      }
    }
  }

  // The records of the agreeing parts' value lists, in first-visit order.
  void match_agreeing() {
    // The nine lookups are independent: ask for their slots, then for the
    // records those slots point at, before reading any of them.
    for (int k = 0; k < kPartCount; ++k) {
      if (header_counts(k, crcs_[k], allow_null_head_)) db_.prefetch_value(k, crcs_[k]);
    }
    for (int k = 0; k < kPartCount; ++k) {
      if (header_counts(k, crcs_[k], allow_null_head_)) db_.prefetch_value_keys(k, crcs_[k]);
    }
    ShortList<RecordRef, 32> refs;
    for (int k = 0; k < kPartCount; ++k) {
      if (!header_counts(k, crcs_[k], allow_null_head_)) continue;
      db_.for_each_with(k, crcs_[k], [&](RecordRef ref) { refs.push_back(ref); });
    }
    if (refs.empty()) return;
    if (refs.size() == 1) {
      offer(db_.record(*refs.begin()));
      return;
    }
    std::sort(refs.begin(), refs.end());
    refs.resize_down(static_cast<std::size_t>(std::unique(refs.begin(), refs.end()) - refs.begin()));
    ShortList<std::pair<std::uint64_t, RecordRef>, 32> order;
    for (const RecordRef ref : refs) order.push_back({first_visit(db_.record(ref)), ref});
    std::sort(order.begin(), order.end());
    for (const auto& [visit, ref] : order) {
      if (offer(db_.record(ref))) return;
    }
  }

  MatchResult finish(std::int32_t& partial_counter, SpamScoreList* scores) {
    if (result_.matched) {
      if (scores != nullptr) scores->push_front(SpamScore{kFullMatchScore, "QuarnCRC Match"});
      return result_;
    }
    if (best_ != 0 && settings_.is_true(IniKey::PARTIAL_MATCH)) {
      bump(partial_counter);
      if (scores != nullptr) {
        const std::string parts = domatchtypes(crcs_, best_record_->crc,
                                               settings_.get_int(IniKey::ALLOW_NULL_HEAD) != 0,
                                               kLineSize);
        const auto score = static_cast<float>(best_ * 6.0 / kTotalWeight);
        scores->push_front(SpamScore{
            score, lprintf(kLineSize - 1, "QuarnCRC Partial (+%f%s)", static_cast<double>(score),
                           parts.c_str())});
      }
    }
    return result_;
  }

 private:
  // Where the walk first meets `record`: the earliest walked bucket that
  // holds one of its entries, then within it the newest such entry (a
  // record's entries are ordered by its stamp, then by part). Smaller is
  // earlier.
  std::uint64_t first_visit(const MessageRecord& record) const {
    std::uint64_t first = UINT64_MAX;
    for (int q = 0; q < kPartCount; ++q) {
      const std::size_t bucket = db_.bucket_of(record.crc[q], q);
      for (int p = 0; p < kPartCount; ++p) {
        if (walked_[p] != bucket) continue;
        const std::uint64_t age =
            ~(std::uint64_t{record.stamp} * kPartCount + static_cast<std::uint64_t>(q)) &
            ((std::uint64_t{1} << 40) - 1);
        first = std::min(first, std::uint64_t(p) << 40 | age);
        break;
      }
    }
    return first;
  }

  SignatureDb& db_;
  Settings& settings_;
  const PartCrcs& crcs_;
  const std::int32_t match_min_;
  const std::int32_t ratio_min_;
  const std::int32_t count_min_;
  const bool allow_null_head_;
  std::array<std::size_t, kPartCount> walked_{};
  std::optional<std::int32_t> score_min_;
  bool trust_isspam_ = false;
  int best_ = 0;
  const MessageRecord* best_record_ = nullptr;
  MatchResult result_;
};

MatchResult run(SignatureDb& db, Settings& settings, const PartCrcs& crcs,
                std::int32_t& partial_counter, SpamScoreList* scores, int wait_ms,
                bool by_walk) {
  Match match(db, settings, crcs);
  MutexHold hold(&db.mutex(), wait_ms);
  if (!hold) {
    db.log().emsg("findarticlematches_fast - Could not obtain mutex for 15 seconds\n");
    return MatchResult{};
  }
  if (by_walk || match.needs_walk()) {
    match.walk();
  } else {
    match.match_agreeing();
  }
  return match.finish(partial_counter, scores);
}

}  // namespace

std::string domatchtypes(const PartCrcs& a, const PartCrcs& b, bool allow_null_head,
                         std::size_t size) {
  std::string text;
  for (int k = 0; k < kPartCount; ++k) {
    if (a[k] != b[k] || !header_counts(k, a[k], allow_null_head)) continue;
    strcatn(text, kPartLabels[k], size);
  }
  return text;
}

MatchResult findarticlematches_fast(SignatureDb& db, Settings& settings, const PartCrcs& crcs,
                                    std::int32_t& partial_counter, SpamScoreList* scores,
                                    int wait_ms) {
  return run(db, settings, crcs, partial_counter, scores, wait_ms, false);
}

MatchResult match_by_bucket_walk(SignatureDb& db, Settings& settings, const PartCrcs& crcs,
                                 std::int32_t& partial_counter, SpamScoreList* scores,
                                 int wait_ms) {
  return run(db, settings, crcs, partial_counter, scores, wait_ms, true);
}

}  // namespace quarn
