#include "milter/policy.h"

namespace quarn::milter {

Verdict decide(const Judgement& j, const Options& o) {
  if (o.reject_match && j.match) return Verdict::kReject;
  if (o.reject_score > 0 && j.total >= o.reject_score) return Verdict::kReject;
  if (o.hold_score > 0 && j.total >= o.hold_score) return Verdict::kHold;
  return Verdict::kTag;
}

}  // namespace quarn::milter
