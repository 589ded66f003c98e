#include "signature/signature_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "support/text.h"

namespace quarn {
namespace {

constexpr std::string_view kDigits =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
// validatecrc checks a copy of at most this many characters.
constexpr std::size_t kCheckedLength = kLineSize - 1;

// Base-36 digit values of every byte; -1 for the bytes that are none.
constexpr std::array<signed char, 256> kDigitValue = [] {
  std::array<signed char, 256> values{};
  values.fill(-1);
  for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<signed char>(c - '0');
  for (int c = 'a'; c <= 'z'; ++c) values[c] = static_cast<signed char>(c - 'a' + 10);
  for (int c = 'A'; c <= 'Z'; ++c) values[c] = static_cast<signed char>(c - 'A' + 10);
  return values;
}();

// The bytes that separate the numbers of a signature field.
constexpr std::array<bool, 256> kPieceSeparator = [] {
  std::array<bool, 256> separator{};
  for (unsigned char c : {' ', '-', '$', '#'}) separator[c] = true;
  return separator;
}();

int base36_digit(char c) { return kDigitValue[static_cast<unsigned char>(c)]; }

// Eight bytes folded as kFold below folds each: "A"-"Z" to lower case, "#"
// to "$", every other byte as it is.
std::uint64_t fold8(std::uint64_t x) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHigh = kOnes * 0x80;
  // Per byte, the top bit of these sums tells how its low seven bits
  // compare; no sum carries into the next byte.
  const std::uint64_t low = x & ~kHigh;
  const std::uint64_t from_a = low + kOnes * (0x80 - 'A');
  const std::uint64_t past_z = low + kOnes * (0x80 - 'Z' - 1);
  const std::uint64_t upper = from_a & ~past_z & ~x & kHigh;
  const std::uint64_t t = x ^ (kOnes * '#');
  const std::uint64_t not_hash = (((t & ~kHigh) + ~kHigh) | t) & kHigh;
  return (x | upper >> 2) + ((not_hash ^ kHigh) >> 7);
}

// Per byte, for the check-case walks (tables keep the random letter case
// from costing a mispredicted branch per character):
//   kFold        the byte as the check is computed over it (lower case,
//                "#" read as "$")
//   kCaseBit     what a byte requires of its bit: 0 clear (lower-case
//                letter, "$"), 1 set (upper-case letter, "#"), 2 takes none
//   kUpperFlip   what turns a lower-case letter or "$" into its upper form
constexpr std::array<char, 256> kFold = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = static_cast<char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = static_cast<char>(c - 'A' + 'a');
  t['#'] = '$';
  return t;
}();
constexpr std::array<unsigned char, 256> kCaseBit = [] {
  std::array<unsigned char, 256> t{};
  t.fill(2);
  for (int c = 'a'; c <= 'z'; ++c) t[c] = 0;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = 1;
  t['$'] = 0;
  t['#'] = 1;
  return t;
}();
constexpr std::array<unsigned char, 256> kUpperFlip = [] {
  std::array<unsigned char, 256> t{};
  for (int c = 'a'; c <= 'z'; ++c) t[c] = 'a' ^ 'A';
  t['$'] = '$' ^ '#';
  return t;
}();

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
  unsigned shift = 31;  // the bit the next letter or "$" takes
  for (char& c : text) {
    const unsigned flip = kUpperFlip[static_cast<unsigned char>(c)];
    const unsigned takes = flip != 0 ? 1u : 0u;
    c = static_cast<char>(static_cast<unsigned char>(c) ^ (flip * (crc >> shift & 1u)));
    shift = (shift - takes) & 31u;  // after bit 0 the mask starts again at bit 31
  }
  return text;
}

namespace {

// The CRC the letter case of `text` must match.
std::uint32_t check_crc(std::string_view text) {
  // Computed over a folded copy of at most 999 characters.
  const std::string_view checked = text.substr(0, std::min(text.size(), kCheckedLength));
  std::uint32_t crc = 0;
  char block[128];
  for (std::size_t at = 0; at < checked.size(); at += sizeof block) {
    const std::size_t n = std::min(sizeof block, checked.size() - at);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, checked.data() + at + i, 8);
      word = fold8(word);
      std::memcpy(block + i, &word, 8);
    }
    for (; i < n; ++i) block[i] = kFold[static_cast<unsigned char>(checked[at + i])];
    crc = crc_extend(crc, block, n);
  }
  return crc;
}

// Follows the letter case of a text against its check: `bits` holds the
// check turned so that the bit the next letter or "$"/"#" takes is the top
// one (it starts at bit 31 and wraps to bit 31 after bit 0).
struct CaseCheck {
  std::uint32_t bits;
  unsigned wrong = 0;
  void take(unsigned char c) {
    const unsigned wants = kCaseBit[c];
    const unsigned takes = wants != 2 ? 1u : 0u;
    wrong |= takes & ((bits >> 31) ^ wants);
    bits = std::rotl(bits, static_cast<int>(takes));
  }
};

}  // namespace

int validatecrc(std::string_view text) {
  CaseCheck check{check_crc(text)};
  for (const char c : text) check.take(static_cast<unsigned char>(c));
  return check.wrong == 0 ? 1 : 0;
}

int read_checked_pieces(std::string_view text, PartCrcs& crcs, int& valid) {
  CaseCheck check{check_crc(text)};
  int count = 0;
  std::uint64_t value = 0;
  enum { kBetween, kReading, kSkipping } state = kBetween;
  const auto end_piece = [&] {
    if (count < kPartCount) crcs[count] = static_cast<std::uint32_t>(value);
    if (count <= kPartCount) ++count;
    state = kBetween;
  };
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    check.take(c);
    if (kPieceSeparator[c]) {
      if (state != kBetween) end_piece();
      continue;
    }
    if (state == kBetween) {
      state = kReading;
      value = 0;
    }
    if (state == kSkipping) continue;
    const int digit = kDigitValue[c];
    if (digit < 0) {
      state = kSkipping;
    } else if ((value = value * 36 + static_cast<unsigned>(digit)) > 0xFFFFFFFFu) {
      value = 0xFFFFFFFFu;
      state = kSkipping;
    }
  }
  if (state != kBetween) end_piece();
  valid = check.wrong == 0 ? 1 : 0;
  return count;
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

int read_crc_pieces(std::string_view text, PartCrcs& crcs) {
  // One pass: each piece is read as read_base36 reads it (up to its first
  // byte that is no digit, saturating at 0xFFFFFFFF) while it is skipped.
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  int count = 0;
  while (true) {
    while (i < n && kPieceSeparator[p[i]]) ++i;
    if (i == n) return count;
    if (count == kPartCount) return kPartCount + 1;
    std::uint64_t value = 0;
    bool reading = true;
    for (; i < n && !kPieceSeparator[p[i]]; ++i) {
      if (!reading) continue;
      const int digit = kDigitValue[p[i]];
      if (digit < 0) {
        reading = false;
      } else if ((value = value * 36 + static_cast<unsigned>(digit)) > 0xFFFFFFFFu) {
        value = 0xFFFFFFFFu;
        reading = false;
      }
    }
    crcs[count++] = static_cast<std::uint32_t>(value);
  }
}

int parse_crc_fields(std::string_view signature, PartCrcs& crcs) {
  signature = cstr_view(signature);
  if (signature.size() < 3) return 0;
  return std::min(read_crc_pieces(signature.substr(2), crcs), kPartCount);
}

}  // namespace quarn
