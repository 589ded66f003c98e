// A readable dump of a compiled filter, for tests and diagnosis: the name
// tables, every line with its expressions, the flag expressions, the fast
// phrases and the skip flags. Texts are shown in double quotes with C
// escapes for quotes, backslashes and bytes outside printable ASCII.
//
// Pure; reads the filter only.
#pragma once

#include <string>
#include <string_view>

#include "filter/rule_filter.h"

namespace quarn {

std::string filter_listing(const RuleFilter& filter);

// `text` in double quotes with C escapes.
std::string quote_text(std::string_view text);

}  // namespace quarn
