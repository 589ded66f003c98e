#include "signature/signature_text.h"

#include <algorithm>

#include "support/text.h"

namespace quarn {
namespace {

constexpr std::string_view kDigits =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view kFieldSeparators = " -$#";
// validatecrc checks a copy of at most this many characters.
constexpr std::size_t kCheckedLength = kLineSize - 1;

int base36_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return -1;
}

// Writes the base-36 digits of `value` at `out`; returns the count.
std::size_t put_base36(std::uint32_t value, char* out) {
  char reversed[8];
  std::size_t n = 0;
  do {
    reversed[n++] = kDigits[value % 36];
    value /= 36;
  } while (value != 0);
  for (std::size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
  return n;
}

}  // namespace

std::string baseencode(std::uint32_t value, unsigned base) {
  if (base < 2 || base > kDigits.size()) return {};
  char reversed[33];
  std::size_t n = 0;
  do {
    reversed[n++] = kDigits[value % base];
    value /= base;
  } while (value != 0);
  std::string digits(n, '0');
  for (std::size_t i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
  return digits;
}

std::string& enccrc(std::string& text) {
  const std::uint32_t crc = do_crc(text);
  std::uint32_t mask = 0x80000000u;
  for (char& c : text) {
    const bool letter = c >= 'a' && c <= 'z';
    if (!letter && c != '$') continue;
    if ((crc & mask) != 0) c = letter ? ascii_upper(c) : '#';
    mask >>= 1;
    if (mask == 0) mask = 0x80000000u;
  }
  return text;
}

int validatecrc(std::string_view text) {
  // The CRC of the folded copy, folded a block at a time.
  const std::string_view checked = text.substr(0, std::min(text.size(), kCheckedLength));
  std::uint32_t crc = 0;
  char block[64];
  for (std::size_t at = 0; at < checked.size(); at += sizeof block) {
    const std::size_t n = std::min(sizeof block, checked.size() - at);
    for (std::size_t i = 0; i < n; ++i) {
      const char c = checked[at + i];
      block[i] = c == '#' ? '$' : ascii_lower(c);
    }
    crc = crc_extend(crc, block, n);
  }

  std::uint32_t mask = 0x80000000u;
  for (char c : text) {
    bool wants_set;
    if ((c >= 'A' && c <= 'Z') || c == '#') {
      wants_set = true;
    } else if ((c >= 'a' && c <= 'z') || c == '$') {
      wants_set = false;
    } else {
      continue;
    }
    if (((crc & mask) != 0) != wants_set) return 0;
    mask >>= 1;
    if (mask == 0) mask = 0x80000000u;
  }
  return 1;
}

std::string make_signature_text(const PartCrcs& crcs) {
  char buffer[kPartCount * 8];
  std::size_t n = 0;
  for (std::uint32_t crc : crcs) {
    buffer[n++] = '$';
    n += put_base36(crc, buffer + n);
  }
  std::string text(buffer, n);
  enccrc(text);
  return text;
}

std::uint32_t read_base36(std::string_view text) {
  std::uint64_t value = 0;
  for (char c : text) {
    const int digit = base36_digit(c);
    if (digit < 0) break;
    value = value * 36 + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  }
  return static_cast<std::uint32_t>(value);
}

int parse_crc_fields(std::string_view signature, PartCrcs& crcs) {
  signature = cstr_view(signature);
  if (signature.size() < 3) return 0;
  Tokenizer fields(signature.substr(2));
  int count = 0;
  while (count < kPartCount) {
    const std::string_view field = fields.next(kFieldSeparators);
    if (field.empty()) break;
    crcs[count++] = read_base36(field);
  }
  return count;
}

}  // namespace quarn
