#include "tests/message/message_testing.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "support/text.h"

namespace quarn::testing {

StripResult strip_html_reference(std::string_view text, int html) {
  constexpr std::size_t npos = std::string::npos;
  std::string work(cstr_view(text));
  StripResult result;
  HtmlStats& stats = result.stats;
  auto append = [&](std::size_t from, std::size_t to) {
    mf_count_letters(std::string_view(work).substr(from), to - from, stats);
    result.visible.append(work, from, to - from);
  };
  auto is_space = [](char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; };

  bool html_mode = html != 0;
  int table_depth = 0;
  [[maybe_unused]] int link_count = 0;
  bool in_link = false;
  std::size_t segment = 0;
  std::size_t cursor = 0;
  std::size_t last_comment_end = 0;
  bool dropped = false;

  while (cursor < work.size()) {
    if (!html_mode) {
      std::size_t p = work.find("content-", cursor);
      if (p == npos) p = work.find("Content-", cursor);
      if (p == npos) p = work.find("CONTENT-", cursor);
      if (p == npos) break;
      if (!starts_with_nc(std::string_view(work).substr(p), "Content-Type:")) {
        cursor = std::min(p + 13, work.size());
        continue;
      }
      std::size_t q = p + 13;
      while (q < work.size() && (work[q] == ' ' || work[q] == '\t')) ++q;
      if (starts_with_nc(std::string_view(work).substr(q), "text/html")) {
        html_mode = true;
        table_depth = 0;
        link_count = 0;
        in_link = false;
      }
      cursor = std::min(q + 9, work.size());
      continue;
    }

    // One scan from the cursor.
    enum { kEnd, kSpace, kMarkup } event = kEnd;
    std::size_t i = cursor;
    std::size_t lt = npos;
    for (; i < work.size(); ++i) {
      const char c = work[i];
      if (c == '\r' || c == '\n' || c == '\t' ||
          (c == ' ' && i + 1 < work.size() && work[i + 1] == ' ')) {
        event = kSpace;
        break;
      }
      if (c == '<') {
        if (lt == npos) {
          lt = i;
        } else if (i - lt >= 6) {
          event = kMarkup;
          break;
        }
      } else if (c == '>' && lt != npos) {
        event = kMarkup;
        break;
      }
    }
    if (event == kEnd) {
      cursor = work.size();
      break;
    }
    if (event == kSpace) {
      std::size_t j = i;
      while (j < work.size() && is_space(work[j])) ++j;
      work.replace(i, j - i, " ");
      continue;
    }
    if (work.compare(lt + 1, 3, "!--") == 0) {
      stats.comment_score += 1;
      if (lt - last_comment_end < 10) stats.comment_score += 2;
      append(segment, lt);
      const std::size_t close = work.find("-->", lt + 4);
      if (close == npos) {
        dropped = true;
        break;
      }
      segment = cursor = last_comment_end = close + 3;
      continue;
    }
    const std::size_t close = work.find('>', lt);
    const std::size_t tag_end = close == npos ? work.size() : close;
    const std::string_view tag = std::string_view(work).substr(lt + 1);
    if (starts_with_nc(tag, "table ")) {
      ++table_depth;
    } else if (starts_with_nc(tag, "/table ")) {
      --table_depth;
    } else if (starts_with_nc(tag, "a ")) {
      ++link_count;
      std::size_t href = work.find("href", lt);
      if (href == npos) href = work.find("HREF", lt);
      if (href != npos && href < tag_end) in_link = true;
    } else if (starts_with_nc(tag, "/a ")) {
      in_link = false;
      --link_count;
    } else if (starts_with_nc(tag, "img ")) {
      if (in_link) {
        stats.suspicious_images += 1;
        if (table_depth != 0) stats.suspicious_images += 4;
      }
    }
    append(segment, lt);
    if (close == npos) {
      dropped = true;
      break;
    }
    segment = cursor = close + 1;
  }
  if (!dropped) append(segment, work.size());
  return result;
}

StripResult strip_html_linear(std::string_view text, int html) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  StripResult result;
  const std::size_t length = rf_strip_html(buffer, text.size(), html, result.stats);
  result.visible.assign(buffer.data(), length);
  return result;
}

DecodedMessage decode_message(std::string_view message, std::size_t buffer_size) {
  std::vector<char> buffer(buffer_size);
  const auto walk = std::make_unique<MimeWalk>(buffer);
  DecodedMessage result;
  rf_create_decoded(message, result.position, 0, *walk);
  result.text = walk->decoded();
  result.top_html = walk->top_html;
  result.first_text_base64 = walk->first_text_base64;
  return result;
}

}  // namespace quarn::testing
