// The check a rules file passes before the feed distributes it: it compiles
// with the engine's own rules compiler without a single error message, and
// every line reaches engines whole (the update client cuts lines at 999
// characters and stops a text at a NUL byte).
//
// Safe from any thread (each call has its own rule engine).
#pragma once

#include <string>
#include <vector>

namespace quarn::feed {

// The compiler's messages (or the line-length reasons) that refuse the
// file at `path`; empty when it may be distributed.
std::vector<std::string> check_rules_file(const std::string& path, const std::string& text);

}  // namespace quarn::feed
