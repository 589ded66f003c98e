// Test support for the message codecs: the reference HTML strip and a
// one-call MIME walk.
//
// The reference strip is written the direct way: each run of white space is
// folded in place by moving the rest of the text, and every fold starts the
// scan again from the cursor. It is quadratic and kept only as the reference
// that the linear strip must match byte for byte (tests, the strip fuzz
// target, the benchmark).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "message/html_strip.h"
#include "message/mime_walk.h"

namespace quarn::testing {

struct StripResult {
  std::string visible;
  HtmlStats stats;
};

// The text is cut at its first NUL, as the strip cuts it.
StripResult strip_html_reference(std::string_view text, int html);

// Runs rf_strip_html on a copy of `text` (in a buffer with room for the
// terminator) and returns the same record.
StripResult strip_html_linear(std::string_view text, int html);

// The decoded text of a whole message and the walk's results.
struct DecodedMessage {
  std::string text;
  int top_html = 0;
  int first_text_base64 = 0;
  std::size_t position = 0;  // where the walk stopped reading
};

// Walks `message` from position 0 at depth 0 into a fresh buffer of
// `buffer_size` characters.
DecodedMessage decode_message(std::string_view message, std::size_t buffer_size = kDecodedSize);

}  // namespace quarn::testing
