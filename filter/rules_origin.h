// Where a rules file came from: the update server or the local
// administrator.
//
// A rules file the update server sent may start only the programs the
// administrator allows (SPAWN_ALLOW), while a filter.dat written locally
// keeps full use of spawn(). The update run records every rules file it
// downloads, before the file is compiled and renamed over filter.dat, in
// the marker file "filter.sum" beside it:
//
//   <16 lower-case hex digits>\n     one line per downloaded rules file,
//                                    the 64-bit FNV-1a hash of its bytes;
//                                    the newest last, at most 16 kept
//
// A rules file whose hash is listed there is a downloaded one; any other
// (a file the administrator wrote or edited) is local. A crash between the
// two steps leaves the hash listed before the file is in place, never the
// other way round.
//
// Stateless; called with the filter mutex held (the compile) or by the
// update run, which is the only writer of the marker file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quarn {

inline constexpr const char* kRulesOriginFile = "filter.sum";

// The FNV-1a hash of a file's bytes; nothing when it cannot be read.
std::optional<std::uint64_t> rules_hash(const std::string& path);

// Adds the hash of `rules_path` to the marker file `marker_path` (written
// whole, flushed and renamed into place). False when either file fails.
bool record_downloaded_rules(const std::string& marker_path, const std::string& rules_path);

// True when the hash of `rules_path` is listed in `marker_path`.
bool is_downloaded_rules(const std::string& marker_path, const std::string& rules_path);

// The marker file that belongs to a rules file: "filter.sum" in its folder.
std::string rules_origin_path(const std::string& rules_path);

}  // namespace quarn
