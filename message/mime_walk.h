// The MIME walk: turns a raw message into its decoded text, every part's body
// with base64 and quoted-printable undone, the header lines of nested parts
// included, so that the rules, the URL scan and the HTML strip see the text a
// reader would.
//
// One walk belongs to one run of the message model. The caller owns the
// `MimeWalk` (the output buffer it points at, the boundary stack, the
// counters, the work buffers) and the reader position; `rf_create_decoded`
// keeps no state of its own. Any thread, one walk per object at a time.
//
// Output bounds: the walk never writes past `out`, always leaves room for the
// NUL it keeps after the last character, stops once it has written more than
// 50,000 characters and never lets `decoded_total` reach 99,990, so with the
// engine's 100,000-character buffer the decoded text always fits the HTML
// strip's buffers.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace quarn {

inline constexpr std::size_t kDecodedSize = 100000;       // the engine's decoded buffer
inline constexpr std::size_t kDecodedSoftLimit = 50000;   // ends the walk once exceeded
inline constexpr std::size_t kDecodedHardLimit = 99990;   // never reached by a write
inline constexpr int kMimeMaxDepth = 10;                   // deeper calls return at once
inline constexpr int kMimeMaxEnclosures = 10;              // message/rfc822 nesting followed
inline constexpr std::size_t kBoundarySlots = 20;
inline constexpr std::size_t kBoundarySize = 128;
inline constexpr std::size_t kBoundaryMax = 120;          // characters kept of a boundary
inline constexpr std::size_t kMimeBufferSize = 10000;     // header accumulator, decode scratch
inline constexpr std::size_t kHeaderLimit = 9998;         // a folded header stops growing here
inline constexpr std::size_t kQuotedLimit = 9999;         // decode_quoted size for one line

// The multipart boundary of one nesting depth.
struct MimeBoundary {
  std::array<char, kBoundarySize> text{};
  std::size_t length = 0;

  std::string_view view() const { return {text.data(), length}; }
};

struct MimeWalk {
  // `out` is the caller's buffer for the decoded text (kDecodedSize in the
  // engine); it is NUL-terminated from the start.
  explicit MimeWalk(std::span<char> out);

  MimeWalk(const MimeWalk&) = delete;
  MimeWalk& operator=(const MimeWalk&) = delete;

  // The decoded text written so far.
  std::string_view decoded() const { return {out.data(), decoded_total}; }

  std::span<char> out;
  // Characters written into `out` during this walk; also the write cursor.
  std::size_t decoded_total = 0;
  // Set to 1 when a header block at depth 0 declares text/html.
  int top_html = 0;
  // Set by the first text part only: 1 when it is base64, -1 otherwise.
  int first_text_base64 = 0;
  // Enclosed messages being followed right now (bounded by kMimeMaxEnclosures).
  int enclosures = 0;
  // Boundary of the multipart part being walked at each depth.
  std::array<MimeBoundary, kBoundarySlots> boundaries{};
  // Work buffers shared by the calls of this walk: a call only uses them
  // before it starts a nested call or between two lines.
  std::array<char, kMimeBufferSize> header;
  std::array<char, kMimeBufferSize> scratch;
};

// Walks one MIME part that starts at the reader position `position` of
// `message` (an offset as `rf_getline` uses it) and appends its decoded form
// to `walk`, moving the position past what it read. A part's header block is
// read up to its empty line (written to the output from depth 1 on, so
// nested Content-Type lines stay visible); its body lines are decoded by the
// part's transfer encoding; a multipart part starts a nested call at
// depth + 1 after each line "--boundary"; an enclosed message is walked by a
// nested call at the same depth; a line that is a boundary of an enclosing
// depth ends the call with the position set back to it. A call at a depth
// above 10 (or below 0) returns at once. Each call of a quoted-printable part
// ends by writing "\n\n".
//
// The model calls it once per run: position 0, depth 0, a fresh MimeWalk.
void rf_create_decoded(std::string_view message, std::size_t& position, int depth,
                       MimeWalk& walk);

}  // namespace quarn
