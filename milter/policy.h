// What happens to a scanned message, from the engine's answer and the
// settings. Precedence, first that holds:
//   X-Quarn-Match present and reject-match set       -> reject
//   X-SpamDetect total >= reject-score (when not 0)  -> reject
//   X-SpamDetect total >= hold-score (when not 0)    -> hold (tagged too)
//   otherwise                                        -> tag and accept
#pragma once

#include "milter/answer.h"
#include "milter/options.h"

namespace quarn::milter {

enum class Verdict { kTag, kHold, kReject };

Verdict decide(const Judgement& judgement, const Options& options);

}  // namespace quarn::milter
