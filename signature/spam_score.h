// Named spam scores.
//
// A `SpamScore` is one entry of a score list: a single-precision score and
// an owned name. Lists keep the newest entry first. The signature matcher
// hands the rule filter a list holding at most one entry (its match
// result); the filter run keeps its own list of the same kind for the
// scores that rules and phrases record.
#pragma once

#include <forward_list>
#include <string>

namespace quarn {

struct SpamScore {
  float score = 0;
  std::string name;
};

// Newest entry first (add with push_front).
using SpamScoreList = std::forward_list<SpamScore>;

}  // namespace quarn
