#include "signature/crc.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace quarn {

std::uint32_t crc_extend(std::uint32_t crc, const void* bytes, std::size_t length) {
  auto p = static_cast<const Bytef*>(bytes);
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
