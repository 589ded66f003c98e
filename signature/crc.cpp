#include "signature/crc.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>

namespace quarn {
namespace {

// Below this length a table-driven loop eight bytes at a time beats the
// library call (signature texts and header values are this short).
constexpr std::size_t kShort = 256;

using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_tables() {
  CrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr CrcTables kTables = make_tables();

std::uint32_t load_le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

std::uint32_t crc_short(std::uint32_t crc, const unsigned char* p, std::size_t length) {
  crc = ~crc;
  for (; length >= 8; p += 8, length -= 8) {
    const std::uint32_t one = load_le32(p) ^ crc;
    const std::uint32_t two = load_le32(p + 4);
    crc = kTables[7][one & 0xFF] ^ kTables[6][(one >> 8) & 0xFF] ^ kTables[5][(one >> 16) & 0xFF] ^
          kTables[4][one >> 24] ^ kTables[3][two & 0xFF] ^ kTables[2][(two >> 8) & 0xFF] ^
          kTables[1][(two >> 16) & 0xFF] ^ kTables[0][two >> 24];
  }
  for (; length > 0; ++p, --length) crc = (crc >> 8) ^ kTables[0][(crc ^ *p) & 0xFF];
  return ~crc;
}

}  // namespace

std::uint32_t crc_extend(std::uint32_t crc, const void* bytes, std::size_t length) {
  auto p = static_cast<const Bytef*>(bytes);
  if (length < kShort) return crc_short(crc, p, length);
  uLong value = crc;
  // zlib takes the length as uInt; feed very long inputs in slices.
  while (length > 0) {
    const std::size_t slice = std::min<std::size_t>(length, UINT_MAX);
    value = crc32(value, p, static_cast<uInt>(slice));
    p += slice;
    length -= slice;
  }
  return static_cast<std::uint32_t>(value);
}

std::uint32_t do_crc(const void* bytes, std::size_t length) {
  return crc_extend(0, bytes, length);
}

}  // namespace quarn
