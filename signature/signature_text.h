// The signature text: the nine part CRCs of a message written as one short
// text that carries its own check in the letter case of its characters.
//
// Format (the text after the rule-set letter of "X-Quarn-CRC: A...", of the
// FINDCRC command and of a database SET line):
//
//   nine fields in part order, each "$" followed by the part CRC in base 36
//   (digits "0"-"9" then "a"-"z", most significant first, no leading zeros,
//   "0" for 0; at most 7 digits), then check-cased: the CRC-32 of the
//   lower-case text is spread over its letters and "$" signs from bit 31
//   down (wrapping to bit 31 after bit 0); a set bit upper-cases its
//   character ("$" becomes "#"). Digits carry no bit.
//
//   all CRCs 0:            $0$0$0$0$0$0$0$0$0  ->  #0$0#0#0#0$0#0#0#0
//
// Readers split the text at blanks, "-", "$" and "#" and read each piece as
// an unsigned base-36 number in either letter case.
//
// Engine use: SCAN writes make_signature_text behind "X-Quarn-CRC: A";
// FINDCRC checks validatecrc on its argument without the rule-set letter,
// then needs parse_crc_fields to read nine fields.
//
// Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "signature/crc.h"

namespace quarn {

// The digits of `value` in `base` (2 to 62): "0"-"9", then "a"-"z", then
// "A"-"Z". Any other base gives the empty text.
std::string baseencode(std::uint32_t value, unsigned base);

// Check-cases a lower-case signature text in place; returns it.
std::string& enccrc(std::string& text);

// 1 when the letter case of `text` matches its check, else 0. The check is
// computed over at most the first 999 characters (folded to lower case,
// "#" read as "$"); every upper-case letter or "#" of the text requires a
// set bit, every lower-case letter or "$" a clear one. An empty text is
// valid.
int validatecrc(std::string_view text);

// The check-cased signature text of nine part CRCs (without the rule-set
// letter).
std::string make_signature_text(const PartCrcs& crcs);

// An unsigned base-36 number in either letter case at the start of `text`;
// reading stops at the first other character. A value above 32 bits reads
// as 0xFFFFFFFF.
std::uint32_t read_base36(std::string_view text);

// Splits a signature text at blanks, "-", "$" and "#" (runs count as one)
// and reads the pieces as base-36 numbers into `crcs` in part order.
// Returns how many pieces there are, counting no further than ten (ten
// meaning "more than nine"); `crcs` receives at most nine.
int read_crc_pieces(std::string_view text, PartCrcs& crcs);

// read_crc_pieces and validatecrc of one text in one walk over it: returns
// what read_crc_pieces returns and fills `crcs` as it does, and sets
// `valid` to what validatecrc returns.
int read_checked_pieces(std::string_view text, PartCrcs& crcs, int& valid);

// The part CRCs of a FINDCRC signature: `signature` is the whole argument
// (rule-set letter, first separator, then the fields); from its third
// character on it is split at blanks, "-", "$" and "#" (runs count as one)
// into at most nine fields, read in part order into `crcs`. Returns how many
// fields were read (0 to 9); fields after the ninth are ignored and parts
// without a field are left unchanged.
int parse_crc_fields(std::string_view signature, PartCrcs& crcs);

}  // namespace quarn
