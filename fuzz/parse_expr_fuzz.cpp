// Parses, registers and evaluates arbitrary flag expressions. The first
// byte chooses the flag values.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filter/flag_expr.h"
#include "filter/rule_log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t seed = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> names;
  quarn::FlagLookup lookup = [&](std::string_view name) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return static_cast<std::int32_t>(i);
    }
    names.emplace_back(name);
    return static_cast<std::int32_t>(names.size() - 1);
  };
  std::vector<std::int32_t> flags(8);
  for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = (seed >> i) & 1;

  if (auto tokens = quarn::parse_expr(text, lookup)) {
    if (quarn::check_expr(*tokens) != 1) __builtin_trap();
    const int value = quarn::rf_expr_evalsub(*tokens, flags);
    if (value != 0 && value != 1) __builtin_trap();
  }
  quarn::RuleLog log;
  quarn::FlagExprRegistry registry;
  const std::int32_t number = registry.findadd(text, lookup, log);
  if (registry.findadd(text, lookup, log) != number) __builtin_trap();
  const int value = registry.eval(number, flags);
  return value == 0 || value == 1 ? 0 : 1;
}
