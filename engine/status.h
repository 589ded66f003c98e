// The engine's counters and the status file "quarncrc.status".
//
// The status file is rewritten (never appended) for monitoring, at most once
// per 10 seconds, after a command. One line per field, a tab between label
// and value:
//
//   Binary<TAB>Aug 25 2003
//   Filter<TAB><filter time as "%b %d %Y" in UTC, or None>
//   Spam (3 or higher)<TAB><n> (<percent>%)
//   CRC Scanned<TAB><n>
//   CRC Matched<TAB><n> (<percent>%)
//   CRC Partial Match<TAB><n> (<percent>%)
//   CRC Late Checked<TAB><n>
//   CRC Late Matched<TAB><n> (<percent>%)
//   CRC Late Partial Match<TAB><n> (<percent>%)
//   Filter Error<TAB><text>            only when there is one
//
// Percentages are counter * 100 / base, truncated (0 for a base of 0), in
// 64-bit arithmetic. The base is CRC Scanned for the first three counted
// lines and CRC Late Checked for the two late lines.
//
// Owner: the engine's main thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace quarn {

// Counters of the running engine; 32-bit, zero at start, never reset.
struct Counters {
  std::int32_t spam = 0;          // "X-SpamDetect:" lines with "***"
  std::int32_t scanned = 0;       // complete DATA responses
  std::int32_t matched = 0;       // full signature matches of SCAN
  std::int32_t partial = 0;       // partial matches of SCAN
  std::int32_t late_checked = 0;  // FINDCRC commands that reached matching
  std::int32_t late_matched = 0;  // full matches of FINDCRC
  std::int32_t late_partial = 0;  // partial matches of FINDCRC
};

std::int64_t status_percent(std::int32_t count, std::int32_t base);

std::string format_status(const Counters& counters, std::int32_t filter_time,
                          std::string_view filter_error);

}  // namespace quarn
