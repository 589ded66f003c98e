// The line reader's input buffer on arbitrary bytes from a peer, arriving in
// arbitrary pieces: lines stay within the caller's size, never hold an end
// of line or a NUL, always come from the input, and the buffer's bookkeeping
// never leaves its bounds.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "support/tcplib.h"

using namespace quarn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first byte picks the caller's line size (as the line reader asks
  // for size + 100 bytes per read), the second the size of the pieces.
  const std::size_t line_size = 1 + static_cast<std::size_t>(data[0]) * 9;
  const std::size_t piece = 1 + static_cast<std::size_t>(data[1]) * 17;
  const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);

  TcpInputBuffer in;
  std::string line;
  std::size_t pos = 0;
  std::size_t newlines_seen = 0;
  std::size_t lines = 0;
  for (;;) {
    while (in.take_line(line, line_size)) {
      ++lines;
      if (line.size() > line_size - 1) std::abort();
      if (line.find('\n') != std::string::npos || line.find('\0') != std::string::npos) std::abort();
      if (input.find(line) == std::string_view::npos) std::abort();
    }
    if (pos >= input.size()) break;
    TcpInputBuffer::Room room = in.prepare(line_size + 100);
    if (room.size == 0 || in.fill() + room.size > in.capacity() - 2) std::abort();
    const std::size_t n = std::min({room.size, piece, input.size() - pos});
    std::memcpy(room.data, input.data() + pos, n);
    newlines_seen += static_cast<std::size_t>(std::count(input.begin() + pos, input.begin() + pos + n, '\n'));
    pos += n;
    in.commit(n);
    if (in.consumed() > in.fill() || in.fill() > in.capacity() - 2) std::abort();
  }
  if (lines > newlines_seen) std::abort();
  return 0;
}
