#include "feed/full_match.h"

namespace quarn::feed {
namespace {

constexpr int kWeights[kPartCount] = {1, 1, 2, 3, 2, 2, 2, 2, 2};
constexpr int kMatchMin = 5;
constexpr int kScoreMin = 8;

}  // namespace

RecordScore score_record(const PartCrcs& reported, const PartCrcs& stored, std::int32_t count,
                         std::int32_t other, std::int32_t status) {
  int parts = 0;
  RecordScore result;
  for (int p = 0; p < kPartCount; ++p) {
    if (reported[p] != stored[p]) continue;
    if (p < kFirstBodyPart && reported[p] == 0) continue;
    ++parts;
    result.score += kWeights[p];
  }
  const bool qualifies =
      count >= 0 && (other == 0 || std::int64_t{count} / std::int64_t{other} > 0);
  result.full = qualifies && parts >= kMatchMin &&
                (result.score >= kScoreMin || status == kStatusSpam);
  return result;
}

}  // namespace quarn::feed
