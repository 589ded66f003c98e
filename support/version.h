// The product name and build date the protocol carries ("--version", the
// status file, the start-up log line, database version messages). They are
// fixed texts of the protocol, not the compiler's date.
#pragma once

namespace quarn {

inline constexpr const char* kProductName = "QuarnCRC";
inline constexpr const char* kBuildDate = "Aug 25 2003";
// The only rule-set letter this engine knows.
inline constexpr char kRuleSet = 'A';

}  // namespace quarn
