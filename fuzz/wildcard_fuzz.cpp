// The text logic of the built-ins on arbitrary inputs: the input is split
// at the first two 0x01 bytes into a value, a pattern and a replacement.
#include <cstdint>
#include <string_view>

#include "filter/builtins.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto cut = [&input]() {
    const std::size_t end = input.find('\x01');
    const std::string_view piece = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    return piece;
  };
  const std::string_view value = cut();
  const std::string_view pattern = cut();
  const std::string_view replacement = input;

  quarn::wildcard_match(value, pattern);
  quarn::match_list(value, pattern);
  quarn::match_items(value, pattern);
  quarn::issimilar_text(value, pattern);
  quarn::isin_text(value, pattern);
  quarn::isinc_text(value, pattern);
  if (auto result = quarn::wildrep(value, pattern, replacement)) {
    if (result->size() > 999) __builtin_trap();
  }
  return 0;
}
