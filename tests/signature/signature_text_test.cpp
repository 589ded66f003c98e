// The CRC, base-36 fields, check-case encoding and the FINDCRC field reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "signature/crc.h"
#include "signature/signature_text.h"

namespace quarn {
namespace {

TEST(Crc, StandardCrc32) {
  EXPECT_EQ(do_crc("abc"), 0x352441C2u);
  EXPECT_EQ(do_crc(""), 0u);
  EXPECT_EQ(do_crc("$0$0$0$0$0$0$0$0$0"), 0xBB8C7573u);
  EXPECT_EQ(crc_extend(do_crc("ab"), "c", 1), 0x352441C2u);
  // Short and long inputs take different paths: pieces of every short
  // length must add up to the CRC of the whole.
  std::mt19937 rng(4);
  std::string bytes(5000, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  std::uint32_t pieces = 0;
  for (std::size_t at = 0, n = 0; at < bytes.size(); at += n, n = (n + 1) % 300) {
    n = std::min(n, bytes.size() - at);
    pieces = crc_extend(pieces, bytes.data() + at, n);
  }
  EXPECT_EQ(pieces, do_crc(bytes));
}

TEST(Baseencode, DigitsInTheGivenBase) {
  struct Case {
    std::uint32_t value;
    unsigned base;
    const char* digits;
  };
  const Case cases[] = {
      {0, 36, "0"},           {0x352441C2u, 36, "eqtepu"}, {0xFFFFFFFFu, 36, "1z141z3"},
      {35, 36, "z"},          {36, 36, "10"},              {255, 16, "ff"},
      {5, 2, "101"},          {61, 62, "Z"},               {36, 37, "A"},
      {5, 1, ""},             {5, 63, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(baseencode(c.value, c.base), c.digits) << c.value << " base " << c.base;
  }
}

TEST(SignatureText, KnownValues) {
  PartCrcs zeros{};
  EXPECT_EQ(make_signature_text(zeros), "#0$0#0#0#0$0#0#0#0");
  PartCrcs from{};
  from[0] = 0x352441C2u;
  EXPECT_EQ(make_signature_text(from), "#EQTepu$0#0$0$0$0$0#0#0");

  std::string text = "$0$0$0$0$0$0$0$0$0";
  EXPECT_EQ(enccrc(text), "#0$0#0#0#0$0#0#0#0");
}

TEST(Validatecrc, AcceptsRightCaseOnly) {
  struct Case {
    const char* text;
    int valid;
  };
  const Case cases[] = {
      {"#0$0#0#0#0$0#0#0#0", 1},
      {"$0$0#0#0#0$0#0#0#0", 0},  // first "#" written as "$"
      {"#0#0#0#0#0$0#0#0#0", 0},
      {"#EQTepu$0#0$0$0$0$0#0#0", 1},
      {"#EQTEpu$0#0$0$0$0$0#0#0", 0},
      {"#eqtepu$0#0$0$0$0$0#0#0", 0},
      {"", 1},
      {"0123-45 6", 1},  // no character takes a bit
  };
  for (const Case& c : cases) EXPECT_EQ(validatecrc(c.text), c.valid) << c.text;
}

TEST(Validatecrc, ChecksOnlyTheFirst999CharactersForTheCrc) {
  // The check is computed over a copy of at most 999 characters, so what
  // follows them changes no bit.
  std::string text(999, '0');
  std::string longer = text + "0123456789";
  EXPECT_EQ(validatecrc(longer), validatecrc(text));
  EXPECT_EQ(validatecrc(longer), 1);
}

// Every signature text validates, the mask wraps after 32 letters, and any
// change of letter case (or "$" <-> "#") breaks the check.
TEST(SignatureText, RandomSignaturesValidateAndCaseFlipsBreakThem) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    PartCrcs crcs;
    for (auto& c : crcs) c = rng() >> (rng() % 32);
    const std::string text = make_signature_text(crcs);
    ASSERT_EQ(validatecrc(text), 1) << text;

    PartCrcs back{};
    ASSERT_EQ(parse_crc_fields("A" + text, back), 9);
    ASSERT_EQ(back, crcs) << text;

    for (std::size_t i = 0; i < text.size(); ++i) {
      std::string flipped = text;
      char& c = flipped[i];
      if (c >= 'a' && c <= 'z') {
        c = static_cast<char>(c - 'a' + 'A');
      } else if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
      } else if (c == '$') {
        c = '#';
      } else if (c == '#') {
        c = '$';
      } else {
        continue;
      }
      ASSERT_EQ(validatecrc(flipped), 0) << text << " flipped at " << i;
    }
  }
}

// Texts of any bytes, check-cased by a plain reading of the rule (fold,
// CRC, one bit per letter or "$"/"#"), validate; so the folding agrees with
// the rule on every byte value, neighbours of "A", "Z" and "#" included.
TEST(Validatecrc, AnyBytesCheckCasedByTheRuleValidate) {
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 80, '\0');
    for (char& c : text) c = static_cast<char>(rng() % 3 == 0 ? "@AZ[`az{\"#$%\xc1\xe1"[rng() % 13] : rng());
    std::string folded = text.substr(0, 999);
    for (char& c : folded) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c == '#') c = '$';
    }
    const std::uint32_t crc = do_crc(folded);
    unsigned shift = 31;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char lower = folded[i];
      if (lower != '$' && (lower < 'a' || lower > 'z')) continue;
      const bool set = (crc >> shift & 1u) != 0;
      text[i] = lower == '$' ? (set ? '#' : '$') : static_cast<char>(set ? lower - 'a' + 'A' : lower);
      shift = (shift - 1) & 31u;
    }
    ASSERT_EQ(validatecrc(text), 1) << round;
  }
}

// The one-walk reading answers as the two readings do: texts of
// separators, digits, letters, other bytes and over-long numbers, with up to
// a dozen pieces, valid signatures among them.
TEST(ReadCheckedPieces, AnswersAsReadCrcPiecesAndValidatecrc) {
  std::mt19937 rng(13);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    if (round % 4 == 0) {
      PartCrcs crcs;
      for (auto& c : crcs) c = rng() >> (rng() % 32);
      text = make_signature_text(crcs);
    }
    const std::size_t extra = rng() % 40;
    for (std::size_t i = 0; i < extra; ++i) text.insert(text.begin() + rng() % (text.size() + 1), "$# -09azAZ_|\xff"[rng() % 14]);
    if (round % 7 == 0) text += "$" + std::string(rng() % 20, 'z');
    PartCrcs expected{}, got{};
    const int pieces = read_crc_pieces(text, expected);
    int valid = -1;
    ASSERT_EQ(read_checked_pieces(text, got, valid), pieces) << text;
    ASSERT_EQ(valid, validatecrc(text)) << text;
    ASSERT_EQ(got, expected) << text;
  }
}

TEST(ReadBase36, DigitsOfEitherCaseUpToTheFirstOther) {
  struct Case {
    const char* text;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"0", 0},           {"z", 35},          {"Z", 35},
      {"eqtepu", 0x352441C2u}, {"EQTepu", 0x352441C2u}, {"1z141z3", 0xFFFFFFFFu},
      {"1z141z4", 0xFFFFFFFFu}, {"zzzzzzzzzzzz", 0xFFFFFFFFu}, {"12!z", 38},
      {"", 0},            {"\n", 0},          {"+5", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(read_base36(c.text), c.value) << c.text;
}

TEST(ParseCrcFields, SplitsFromTheThirdCharacter) {
  struct Case {
    const char* signature;
    int count;
    PartCrcs crcs;
  };
  const Case cases[] = {
      {"A$1$2$3$4$5$6$7$8$9", 9, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"A#a#B$c-d e$$f##g -h$i", 9, {10, 11, 12, 13, 14, 15, 16, 17, 18}},
      {"A$1$2$3$4$5$6$7$8$9$10", 9, {1, 2, 3, 4, 5, 6, 7, 8, 9}},  // tenth ignored
      {"A$1$2$3$4$5$6$7$8", 8, {1, 2, 3, 4, 5, 6, 7, 8, 0}},
      {"A-", 0, {}},
      {"A", 0, {}},
      {"", 0, {}},
      {"Ax1$2", 2, {1, 2}},  // the second character is the caller's to check
      // Each number read as read_base36 reads it.
      {"A$12!z$zzzzzzzzzz$+5$4$5$6$7$8$9", 9, {38, 0xFFFFFFFFu, 0, 4, 5, 6, 7, 8, 9}},
  };
  for (const Case& c : cases) {
    PartCrcs crcs{};
    EXPECT_EQ(parse_crc_fields(c.signature, crcs), c.count) << c.signature;
    EXPECT_EQ(crcs, c.crcs) << c.signature;
  }
  // The argument is a C text: a NUL byte ends it.
  PartCrcs crcs{};
  EXPECT_EQ(parse_crc_fields(std::string_view("A$1$2\0$3$4$5$6$7$8$9", 21), crcs), 2);
}

}  // namespace
}  // namespace quarn
