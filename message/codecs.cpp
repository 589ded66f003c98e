#include "message/codecs.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "support/text.h"

namespace quarn {
namespace {

// Value of each byte in the base64 alphabet, -1 outside it.
constexpr std::array<std::int8_t, 256> make_base64_values() {
  std::array<std::int8_t, 256> values{};
  for (auto& v : values) v = -1;
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  }
  return values;
}
constexpr std::array<std::int8_t, 256> kBase64Values = make_base64_values();

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

}  // namespace

Base64Decoded decode_base64_partial(std::string_view text, std::span<char> out) {
  text = cstr_view(text);
  Base64Decoded result;
  std::size_t i = 0;
  while (text.size() - i >= 2) {
    const std::size_t group = std::min<std::size_t>(4, text.size() - i);
    int v[4] = {0, 0, 0, 0};
    for (std::size_t k = 0; k < group; ++k) {
      v[k] = kBase64Values[static_cast<unsigned char>(text[i + k])];
      if (v[k] < 0) {
        result.foreign = true;
        break;
      }
    }
    if (result.foreign) break;
    std::size_t bytes = group - 1;
    if (group >= 3 && text[i + 2] == '=') {
      bytes = 1;
    } else if (group == 4 && text[i + 3] == '=') {
      bytes = 2;
    }
    if (static_cast<std::size_t>(result.count) + bytes >= out.size()) break;
    const unsigned char decoded[3] = {
        static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4)),
        static_cast<unsigned char>(((v[1] & 0x0F) << 4) | (v[2] >> 2)),
        static_cast<unsigned char>(((v[2] & 0x03) << 6) | v[3]),
    };
    for (std::size_t k = 0; k < bytes; ++k) out[result.count++] = static_cast<char>(decoded[k]);
    i += group;
  }
  if (static_cast<std::size_t>(result.count) < out.size()) out[result.count] = '\0';
  return result;
}

int decode_base64(std::string_view text, std::span<char> out) {
  const Base64Decoded result = decode_base64_partial(text, out);
  return result.foreign ? -1 : result.count;
}

int decode_quoted(std::string_view text, std::span<char> out) {
  text = cstr_view(text);
  std::size_t written = 0;
  std::size_t i = 0;
  while (written + 2 < out.size() && i < text.size()) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      out[written++] = c;
      if (i + 1 < text.size()) out[written++] = text[i + 1];
      i += 2;
    } else if (c == '=') {
      const std::size_t after = text.size() - i - 1;
      if (after >= 2 && text[i + 1] == '\r' && text[i + 2] == '\n') {
        i += 3;
      } else if (after == 1 && text[i + 1] == '\n') {
        i += 2;
      } else if (after >= 2) {
        out[written++] = static_cast<char>(decode_hexbyte(text.substr(i + 1, 2)));
        i += 3;
      } else {
        break;
      }
    } else {
      out[written++] = c;
      ++i;
    }
  }
  if (written < out.size()) out[written] = '\0';
  return static_cast<int>(written);
}

int decode_hexbyte(std::string_view text) {
  // A NUL ends the text: only the first two characters are read.
  if (text.empty() || text[0] == '\0') return 0;
  const int high = hex_digit(text[0]);
  const int low = text.size() > 1 && text[1] != '\0' ? hex_digit(text[1]) : 0;
  return (high << 4) | low;
}

}  // namespace quarn
