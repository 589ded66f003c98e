// The URL scan: lists the web addresses of the decoded text, percent-decoded,
// each followed by CR LF; the list becomes the "urls" text the rules search.
//
// Pure functions over the caller's texts; any thread. Texts are the engine's
// NUL-terminated buffers seen as byte views (a NUL byte ends a text).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace quarn {

inline constexpr std::size_t kUrlMaxLength = 1000;   // characters of one URL kept
inline constexpr std::size_t kUrlMinLength = 11;     // shorter URLs are not listed
inline constexpr std::size_t kUrlTextLimit = 5000;   // the scan stops past this
inline constexpr std::size_t kUrlDecodeLimit = 5000;  // rf_decode_url stops past this

// Replaces `urls` with the URLs of `text`. A URL starts at "http:" or
// "https:" (after an "http" that starts neither, only "http:" is looked for
// until the next URL); it ends at the end of the text, ">", a double quote,
// CR or LF, and, unless a double quote directly precedes it, also at a blank
// or a tab. The first 1,000 characters of a URL of 11 characters or more are
// percent-decoded into the list (a zero byte becomes a blank), followed by
// CR LF. The scan stops once the list holds more than 5,000 characters, so
// it never holds more than 5,000 + 1,002.
void rf_scan_urls(std::string_view text, std::string& urls);

// Copies `url` into `out`, turning "%" and the two characters after it into
// their byte (decode_hexbyte); a "%" with fewer than two characters after it
// ends the copy, as does writing more than 5,000 characters or filling `out`
// up to its last character. `out` is NUL-terminated (when it has room for
// anything); returns the terminator's index, the decoded length.
std::size_t rf_decode_url(std::string_view url, std::span<char> out);

}  // namespace quarn
