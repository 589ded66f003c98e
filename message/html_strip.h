// The HTML strip: turns the decoded text into the visible text the rules and
// the phrase scan read, and counts what the heuristics judge a message by
// (HTML comments, images inside links, letters and capitals).
//
// In plain mode the text is searched for a "Content-Type: text/html" header
// (a nested part's header stays in the decoded text) and nothing is removed;
// from there on, or from the start when the message's top part is HTML, tags
// and comments are removed and every run of line ends, tabs and blanks
// becomes one blank. Positions that decide something (how far apart two "<"
// are, how close a comment follows the previous one) are measured in the text
// as folded so far, exactly as a scan that folds while it goes sees them; the
// strip produces that result in time linear in the text.
//
// Pure functions over the caller's buffer; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quarn {

// Counters gathered while stripping, read by the heuristic flags.
struct HtmlStats {
  std::int32_t comment_score = 0;
  std::int32_t suspicious_images = 0;
  std::int32_t letters = 0;
  std::int32_t capitals = 0;

  bool operator==(const HtmlStats&) const = default;
};

// Adds the ASCII letters among the first `count` characters of `text` (a NUL
// ends the text early) to stats.letters, and the capitals among them to
// stats.capitals as well.
void mf_count_letters(std::string_view text, std::size_t count, HtmlStats& stats);

// Strips the text held in the first `length` characters of `text` (cut at a
// NUL, and at text.size() - 1 so the terminator fits) and writes the visible
// text back over it, NUL-terminated. `html` is the walk's top html result: 1
// starts in HTML mode, 0 in plain mode. `stats` is reset and filled. Returns
// the length of the visible text.
//
// In HTML mode: a comment "<!-- ... -->" adds 1 to the comment score, 2 more
// when the previous comment ended fewer than 10 characters before it; a tag
// beginning "table " or "/table " moves the table depth, "a " counts a link
// (in a link when its first "href", or failing any "href" in the rest of the
// text its first "HREF", lies before the tag's end), "/a " leaves the link,
// "img " inside a link adds 1 to the suspicious-image score, 4 more inside a
// table. A "<" with no ">" and no second "<" at least 6 characters after it
// stays visible text; a tag or comment that is never closed drops the rest of
// the text.
std::size_t rf_strip_html(std::span<char> text, std::size_t length, int html,
                          HtmlStats& stats);

}  // namespace quarn
