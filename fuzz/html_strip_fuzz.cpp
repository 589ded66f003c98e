// The HTML strip on arbitrary text (the first byte chooses plain or HTML
// mode): the linear strip must equal the direct quadratic reference byte for
// byte, with the same counters; any difference aborts.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tests/message/message_testing.h"

using namespace quarn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int html = data[0] & 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto expected = testing::strip_html_reference(text, html);
  const auto actual = testing::strip_html_linear(text, html);
  if (actual.visible != expected.visible || !(actual.stats == expected.stats)) std::abort();
  return 0;
}
