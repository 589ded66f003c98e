// The byte codecs of message decoding: base64, quoted-printable and the
// two-digit hexadecimal byte used by quoted-printable and URL escapes.
//
// Inputs are the engine's NUL-terminated texts seen as byte views: a NUL byte,
// like the end of the view, ends the text. Outputs go into a buffer the caller
// owns; its size is the span's size, nothing is ever written past it, and the
// output is NUL-terminated after the last byte written whenever there is room.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace quarn {

// What a base64 decode gave: the bytes written before it stopped, and whether
// it stopped at a character outside the alphabet.
struct Base64Decoded {
  int count = 0;
  bool foreign = false;
};

// Decodes base64 (alphabet A-Z a-z 0-9 + / and "=", which counts as 64).
// Groups of four characters are taken while at least two characters remain: a
// group whose third character is "=" gives one byte, one whose fourth is "="
// gives two, any other full group three. A shorter final group without "="
// is decoded leniently: two characters give one byte, three give two. A
// character outside the alphabet ends decoding; the bytes of the earlier
// groups stay in `out`. Decoding also stops before a group that would make
// the count reach out.size(), so there is always room for the terminator.
Base64Decoded decode_base64_partial(std::string_view text, std::span<char> out);

// The same, returning the number of bytes written, or -1 when a character
// outside the alphabet ended decoding.
int decode_base64(std::string_view text, std::span<char> out);

// Decodes quoted-printable while fewer than out.size() - 2 characters have been
// written: a byte at or above 0x80 is copied with the byte after it; "=" and
// CR LF is a soft break and dropped, as is "=" and LF at the very end; "=" and
// two characters give their hexadecimal byte (which may be 0); "=" with fewer
// than two characters after it ends decoding; everything else is copied.
// Returns the number of characters written.
int decode_quoted(std::string_view text, std::span<char> out);

// The byte of two hexadecimal digits: 0-9, A-F and a-f give their value, any
// other character 0; the first digit is the high half, the second (when there
// is one) the low half. 0 for an empty text.
int decode_hexbyte(std::string_view text);

}  // namespace quarn
