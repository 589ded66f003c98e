// The MIME walk, then the URL scan and the HTML strip of its result, on
// arbitrary messages, as the message model runs them. The decoded buffer is
// exactly the engine's size, so any write past it is caught; the bounds the
// model relies on are checked.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "message/html_strip.h"
#include "message/mime_walk.h"
#include "message/url_scan.h"

using namespace quarn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  std::vector<char> out(kDecodedSize);
  const auto walk = std::make_unique<MimeWalk>(out);
  std::size_t position = 0;
  rf_create_decoded(message, position, 0, *walk);
  const std::size_t total = walk->decoded_total;
  if (total >= kDecodedHardLimit || out[total] != '\0') std::abort();
  if (std::memchr(out.data(), '\0', total) != nullptr) std::abort();
  if (position > size) std::abort();

  std::string urls;
  rf_scan_urls(walk->decoded(), urls);
  if (urls.size() > kUrlTextLimit + kUrlMaxLength + 2) std::abort();

  HtmlStats stats;
  const std::size_t visible = rf_strip_html(out, total, walk->top_html, stats);
  if (visible > total || out[visible] != '\0') std::abort();
  return 0;
}
