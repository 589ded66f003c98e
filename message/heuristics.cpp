#include "message/heuristics.h"


namespace quarn {

HeuristicFlags find_heuristic_flags(const HeuristicInput& input) {
  HeuristicFlags flags;
  const HtmlStats& stats = input.stats;

  if (stats.comment_score > 20) {
    flags.add("many_html_comments");
  } else if (stats.comment_score > 10) {
    flags.add("some_html_comments");
  }

  if (input.first_text_base64 > 0) flags.add("encoded_html");

  const std::int32_t images = stats.suspicious_images;
  if (images > 0) {
    if (images > 25) {
      flags.add("many_suspicious_images");
    } else if (images > 10) {
      flags.add("some_suspicious_images");
    }
    if (stats.letters < 150) flags.add("low_text_images_ratio");
    if (stats.letters < 300 && images > 5) flags.add("low_text_images_ratio");
    if (stats.letters < 800 && images > 5) flags.add("medium_text_images_ratio");
  }

  if (input.raw_body_length > 0 && input.visible_length > 0) {
    const std::int64_t tags = 100 - input.visible_length * 100 / input.raw_body_length;
    if (tags >= 90) {
      flags.add("extreme_tags_to_text");
    } else if (tags >= 70) {
      flags.add("high_tags_to_text");
    } else if (tags >= 40) {
      flags.add("medium_tags_to_text");
    }
  }

  if (stats.letters > 0) {
    const std::int64_t caps = std::int64_t{stats.capitals} * 100 / stats.letters;
    if (caps > 50) flags.add("high_caps");
    if (caps > 25) flags.add("medium_caps");
  }
  return flags;
}

}  // namespace quarn
