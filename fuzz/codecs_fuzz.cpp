// The byte codecs on arbitrary text: the first byte chooses the output size,
// the buffer is exactly that large, and the results must stay inside it.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "message/codecs.h"
#include "message/url_scan.h"

using namespace quarn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t out_size = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<char> out(out_size);

  const Base64Decoded b64 = decode_base64_partial(text, out);
  if (b64.count < 0 || (out_size > 0 && static_cast<std::size_t>(b64.count) >= out_size)) {
    std::abort();
  }
  const int whole = decode_base64(text, out);
  if (whole != (b64.foreign ? -1 : b64.count)) std::abort();
  if (static_cast<std::size_t>(b64.count) * 4 > text.size() * 3 + 4) std::abort();

  const int quoted = decode_quoted(text, out);
  if (quoted < 0 || static_cast<std::size_t>(quoted) > text.size()) std::abort();
  if (out_size > 0 && static_cast<std::size_t>(quoted) >= out_size) std::abort();

  const int byte = decode_hexbyte(text);
  if (byte < 0 || byte > 255) std::abort();

  const std::size_t url = rf_decode_url(text, out);
  if (out_size > 0 && (url >= out_size || out[url] != '\0')) std::abort();
  return 0;
}
