#include "filter/rule_filter.h"

#include "filter/rule_log.h"
#include "support/text.h"

namespace quarn {
namespace {

constexpr const char* kActionNames[kActionCount] = {
    "A_NONE",    "A_ACCEPT",  "A_REJECT", "A_THEN",         "A_ELSE",
    "A_ENDIF",   "SETFLAG",   "CLEARFLAG", "PRINT",         "SET",
    "ADD",       "SUB",       "SCORE_ONE", "SCORE_ALL",     "RECIPIENTS",
    "RECIPIENTS_END", "FORWARD", "CALL",   "DROP",          "REDIRECT_CC",
};

constexpr const char* kOperatorNames[kOperatorCount] = {"and", "lessthan", "greaterthan",
                                                        "equals"};

}  // namespace

const char* action_name(std::int32_t action) {
  return action >= 0 && action < kActionCount ? kActionNames[action] : "UNKNOWN";
}

const char* operator_name(std::int32_t op) {
  return op >= 0 && op < kOperatorCount ? kOperatorNames[op] : "UNKNOWN";
}

std::string normalize_name(std::string_view name) {
  std::string out = ascii_lowered(ncpy(name, kMaxNameLength));
  if (auto colon = out.find(':'); colon != std::string::npos) out.resize(colon);
  return out;
}

std::int32_t NameTable::find(std::string_view normalized) const {
  auto found = index_.find(std::string(normalized));
  return found == index_.end() ? -1 : found->second;
}

std::int32_t NameTable::findadd(std::string_view name, RuleLog& log) {
  std::string key = normalize_name(name);
  if (auto found = index_.find(key); found != index_.end()) return found->second;
  if (names_.size() + kNameTableReserve > capacity_) {
    log.emsg("%s", full_message_);
    return 0;
  }
  const auto index = static_cast<std::int32_t>(names_.size());
  index_.emplace(key, index);
  names_.push_back(std::move(key));
  return index;
}

}  // namespace quarn
