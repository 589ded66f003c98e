// The lines a feed sends, exports and imports: the engine's update-command
// language, written by the feed and read back by `import`.
//
//   SET|<id>|<stamp>|<count>|<other count>|<status>|<type>|A<signature>|\n
//   DEL|<id>\n
//   TIME|<stamp>\n
//
// A SET line ends with a separator after its signature so that an engine
// that journals the line and reads it back with its line end still checks
// the signature text alone. A TIME line holding one number closes every
// update answer: engines take it as their new position but apply nothing.
//
// Reading accepts what engines accept: "|" or "~" separate fields (runs
// count as one, leading ones are skipped), numbers read like atoi, a line
// end (LF or CR LF) is dropped, and the signature must carry the rule-set
// letter "A", pass its check-case test and hold exactly nine part CRCs.
// TIME lines and blank lines are "skip" lines: an import ignores them.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "signature/crc.h"

namespace quarn::feed {

struct SetLine {
  std::int32_t id = 0;
  std::int32_t stamp = 0;
  std::int32_t count = 0;
  std::int32_t other = 0;
  std::int32_t status = 0;
  std::int32_t type = 0;
  std::string signature;  // "A" and the check-cased text
  PartCrcs crcs{};
};

struct DelLine {
  std::int32_t id = 0;
};

struct SkipLine {};

// The reason a line was refused ("invalid ID", "incomplete SET line", ...).
struct LineError {
  std::string reason;
};

using ParsedLine = std::variant<SetLine, DelLine, SkipLine, LineError>;

ParsedLine parse_feed_line(std::string_view line);

std::string format_set_line(const SetLine& record);
std::string format_del_line(std::int32_t id);
std::string format_time_line(std::int64_t stamp);

}  // namespace quarn::feed
