// Reading a message text line by line, and counting its lines.
//
// The texts are the engine's NUL-terminated buffers seen as byte views: a NUL
// byte, like the end of the view, ends the text. Only lines that end in a
// newline are returned, so a last line without one is never seen; a returned
// line is cut at its first carriage return.
//
// The reader position is an offset into the text owned by the caller. Pure
// functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarn {

// The line buffers of message analysis hold 9,900 characters, so a line is
// returned with at most 9,899 of its characters (the rest of it is skipped).
inline constexpr std::size_t kGetlineSize = 9900;

// Reads the line that starts at `position`. When a newline follows before the
// text ends, moves `position` past that newline, sets `line` to at most
// size - 1 characters of the line, cut at its first carriage return, and
// returns 1. Otherwise returns 0 and leaves `position` and `line` unchanged.
int rf_getline(std::string_view text, std::size_t& position, std::string& line,
               std::size_t size = kGetlineSize);

// The same without a copy: `line` views the caller's text.
int next_line(std::string_view text, std::size_t& position, std::string_view& line,
                    std::size_t size = kGetlineSize);

// Number of newline characters in the text (0 for an empty text).
std::int32_t count_lines(std::string_view text);

}  // namespace quarn
