#include "signature/matcher.h"

#include <array>
#include <optional>

#include "support/text.h"

namespace quarn {
namespace {

constexpr std::array<const char*, kPartCount> kPartLabels = {
    ",From", ",Subject", ",Received", ",Message ID", ",Body 1",
    ",Body 2", ",Body 3", ",Body 4", ",Body 5"};
constexpr int kTotalWeight = 17;
constexpr float kFullMatchScore = 6.0f;
constexpr std::size_t kSlotAhead = 24;
constexpr std::size_t kRecordAhead = 8;

struct Agreement {
  int parts = 0;   // n
  int weight = 0;  // S
};

Agreement agree(const PartCrcs& scanned, const PartCrcs& stored, bool allow_null_head) {
  Agreement a;
  for (int k = 0; k < kPartCount; ++k) {
    if (scanned[k] != stored[k]) continue;
    if (k < kFirstBodyPart && scanned[k] == 0 && !allow_null_head) continue;
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

}  // namespace

std::string domatchtypes(const PartCrcs& a, const PartCrcs& b, bool allow_null_head,
                         std::size_t size) {
  std::string text;
  for (int k = 0; k < kPartCount; ++k) {
    if (a[k] != b[k]) continue;
    if (k < kFirstBodyPart && a[k] == 0 && !allow_null_head) continue;
    strcatn(text, kPartLabels[k], size);
  }
  return text;
}

MatchResult findarticlematches_fast(SignatureDb& db, Settings& settings, const PartCrcs& crcs,
                                    std::int32_t& partial_counter, SpamScoreList* scores,
                                    int wait_ms) {
  MatchResult result;
  const std::int32_t match_min = settings.ini_getn(IniKey::MATCH_MIN);
  const std::int32_t ratio_min = settings.ini_getn(IniKey::RATIO_MIN);
  const std::int32_t count_min = settings.ini_getn(IniKey::COUNT_MIN);
  const bool allow_null_head = settings.ini_true(IniKey::ALLOW_NULL_HEAD);

  MutexHold hold(&db.mutex(), wait_ms);
  if (!hold) {
    db.log().emsg("findarticlematches_fast - Could not obtain mutex for 15 seconds\n");
    return result;
  }

  // SCORE_MIN and TRUST_ISSPAM are read when the full-match test is first
  // reached (once per call).
  std::optional<std::int32_t> score_min;
  bool trust_isspam = false;

  int best = 0;
  const MessageRecord* best_record = nullptr;
  for (int p = 0; p < kPartCount; ++p) {
    const auto entries = db.bucket(db.bucket_of(crcs[p], p));
    for (std::size_t i = entries.size(); i-- > 0;) {
      // Large databases do not fit the cache: ask for the entries ahead
      // (slot first, then record) so their lookups overlap.
      if (i >= kSlotAhead) db.prefetch_slot(entries[i - kSlotAhead].id);
      if (i >= kRecordAhead) db.prefetch_record(entries[i - kRecordAhead].id);
      const MessageRecord* record = db.find_message(entries[i].id);
      if (record == nullptr) {
        db.log().emsg("findarticlematches_fast - CRC found without message\n");
        continue;
      }
      if (!qualifies(*record, count_min, ratio_min)) continue;
      const Agreement a = agree(crcs, record->crc, allow_null_head);
      if (a.weight > best) {
        best = a.weight;
        best_record = record;
      }
      if (a.parts < match_min) continue;
      if (!score_min) {
        score_min = settings.ini_getn(IniKey::SCORE_MIN);
        trust_isspam = settings.ini_true(IniKey::TRUST_ISSPAM);
      }
      if (a.weight >= *score_min || (trust_isspam && record->status == kStatusSpam)) {
        result.matched = true;
        result.score = a.weight;
        result.status = status_name(record->status);
        result.type = type_name(record->type);
        result.count = record->count;
        result.id = record->id;
        if (scores != nullptr) scores->push_front(SpamScore{kFullMatchScore, "QuarnCRC Match"});
        return result;
      }
    }
  }

  if (best != 0 && settings.ini_true(IniKey::PARTIAL_MATCH)) {
    bump(partial_counter);
    if (scores != nullptr) {
      const std::string parts = domatchtypes(crcs, best_record->crc,
                                             settings.ini_getn(IniKey::ALLOW_NULL_HEAD) != 0,
                                             kLineSize);
      const auto score = static_cast<float>(best * 6.0 / kTotalWeight);
      scores->push_front(SpamScore{
          score, lprintf(kLineSize - 1, "QuarnCRC Partial (+%f%s)", static_cast<double>(score),
                         parts.c_str())});
    }
  }
  return result;
}

}  // namespace quarn
