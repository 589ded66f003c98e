// The one place the feed decides whether a reported message is a copy of a
// stored record: the engine's full-match test under its default thresholds
// (MATCH_MIN 5, SCORE_MIN 8, COUNT_MIN 0, RATIO_MIN 0, TRUST_ISSPAM true,
// ALLOW_NULL_HEAD false), applied to one record without an index.
//
// Part weights: From 1, Subject 1, Received 2, Message ID 3, Body 1-5 2
// each. A header part agrees only when the reported value is not 0. The
// record qualifies when its other count is 0 or count / other count > 0.
// Since five parts must agree and only four are headers, a full match
// always shares at least one body part value: the store looks candidates
// up by body values alone.
//
// Pure; safe from any thread.
#pragma once

#include <cstdint>

#include "signature/crc.h"

namespace quarn::feed {

inline constexpr std::int32_t kStatusSuspected = 1;
inline constexpr std::int32_t kStatusSpam = 2;

struct RecordScore {
  bool full = false;  // passes the full-match test
  int score = 0;      // S, the sum of agreeing weights
};

RecordScore score_record(const PartCrcs& reported, const PartCrcs& stored, std::int32_t count,
                         std::int32_t other, std::int32_t status);

}  // namespace quarn::feed
