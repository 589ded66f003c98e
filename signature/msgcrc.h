// The nine part CRCs of a message (its signature).
//
// Each part is a normalised piece of the raw message, chosen so that copies
// of one spam sent to many recipients give equal values while per-recipient
// details fall away. The values must agree bit for bit with the part CRCs
// that the update feed publishes, so every cut below, odd corners included,
// is part of the format:
//
//   From        the last header line beginning "From: " (any case), whole
//   Subject     the last header line whose first 6 characters are "Subjec"
//               (any case): the ASCII letters before its last blank (or
//               last tab when it has no blank); the last word is dropped
//   Received    the last line beginning "Received: ": at most 999
//               characters, cut at the earliest ";", "with" or "id" (the
//               two words in any case, anywhere, also inside words)
//   Message ID  the last line beginning "Message-id: ", whole
//   Body 1-5    the body (HTML tags removed when it holds "<html>" in any
//               case, one final CR LF CR LF removed) cut into five chunks of
//               about a fifth each, every chunk stretched to end just before
//               the next LF, the fifth taking the rest; parts without a
//               chunk copy Body 1
//
// The header block ends at the first run of more than two line-end
// characters (CR or LF); a message whose header and body are separated by a
// bare LF LF therefore has no header end, and its whole text is also its
// body. The last header line before the blank line never takes part, nor do
// lines of "." or lines of 10000 bytes or more. A value of 0 means the part
// was not found.
//
// Engine use (SCAN): msgcrc over a view of the message buffer, which it
// only reads; the "X-Quarn-CRC: A" line carries make_signature_text of the
// result.
//
// Stateless apart from the log; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "signature/crc.h"
#include "support/log.h"

namespace quarn {

// Computes the part CRCs of `text` (which ends at its first NUL byte when it
// has one). The text is only read; the bytes around it need not exist.
// Returns the number of header parts found plus body chunks made. When
// `texts` is given it receives the normalised text each CRC was taken over
// (empty for a part not found; copied body parts repeat Body 1's text).
int msgcrc(std::string_view text, PartCrcs& crcs, Log& log,
           std::array<std::string, kPartCount>* texts = nullptr);

// The header lines of `text` that take part, last line first, each without
// its line end; `body` receives the position where the body starts (0 when
// the header block has no end). Logs at information level when the message
// has no body or a header line is too long.
std::vector<std::string_view> getheadlines(std::string_view text, std::size_t& body, Log& log);

// The Subject normalisation: the ASCII letters of `line` before its last
// blank (or, without one, its last tab); the whole line's letters when it
// has neither.
std::string clean_str(std::string_view line);

// `text` without its HTML tags. A tag runs from "<" to its first ">", except that a tag
// beginning "<!" ends only at a ">" preceded by a multiple of four hyphens
// counted in pairs (so a comment may hold ">"). A tag without its end cuts
// the text at its "<".
std::string remove_html_tags(std::string_view text);

// `text` without one final CR LF CR LF.
std::string_view remove_blank_lines(std::string_view text);

}  // namespace quarn
