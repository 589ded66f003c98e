// The heuristic flags: fixed judgements of a message's shape that the rules
// test like any other flag (`isflag`, `evalflags`).
//
// They are computed once per run while the message model is built, from the
// HTML strip's counters (comment score, suspicious-image score, letters,
// capitals), the raw body length, the visible length and whether the first
// text part was base64. In order, with integer arithmetic:
//
//   comment score > 20           many_html_comments
//            else > 10           some_html_comments
//   first text part base64       encoded_html
//   suspicious images > 0:
//     score > 25                 many_suspicious_images
//      else > 10                 some_suspicious_images
//     letters < 150              low_text_images_ratio
//     letters < 300, score > 5   low_text_images_ratio
//     letters < 800, score > 5   medium_text_images_ratio
//   raw body and visible text both non-empty, with
//   tags = 100 - visible * 100 / raw body:
//     tags >= 90                 extreme_tags_to_text
//     else >= 70                 high_tags_to_text
//     else >= 40                 medium_tags_to_text
//   letters > 0, caps = capitals * 100 / letters:
//     caps > 50                  high_caps
//     caps > 25                  medium_caps (also when above 50)
//
// The heuristics only ever set flags to 1; every flag is 0 at the start of a
// run.
//
// Used by the message model under the filter mutex; the pure part may be
// called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "message/html_strip.h"

namespace quarn {

struct HeuristicInput {
  HtmlStats stats;
  std::int64_t raw_body_length = 0;
  std::int64_t visible_length = 0;
  // The MIME walk's result for the first text part: 1 base64, -1 not, 0 none.
  int first_text_base64 = 0;
};

// The names of the flags a message earns, in the order above (a name may
// appear twice when two tests give it).
struct HeuristicFlags {
  std::array<const char*, 12> names{};
  std::size_t count = 0;

  void add(const char* name) {
    if (count < names.size()) names[count++] = name;
  }
};

HeuristicFlags find_heuristic_flags(const HeuristicInput& input);

}  // namespace quarn
