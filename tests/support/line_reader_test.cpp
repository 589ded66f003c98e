// The block line reader against read_line: the same lines on the same bytes.
#include "support/line_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace quarn {
namespace {

std::vector<std::string> lines_of(const std::string& bytes, std::size_t size, LineMode mode,
                                  bool blocks) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  std::vector<std::string> lines;
  std::string line;
  LineReader reader(f, size, mode);
  while (blocks ? reader.next(line) : read_line(f, line, size, mode)) lines.push_back(line);
  std::fclose(f);
  return lines;
}

// Bytes rich in CR, LF and NUL, lines around the limit and across the
// reader's 64 KiB blocks (a CR LF split between two blocks included).
TEST(LineReader, SameLinesAsReadLine) {
  std::mt19937 rng(3);
  const std::string alphabet = std::string("ab|\r\n\r\n", 7) + std::string(1, '\0');
  for (int round = 0; round < 60; ++round) {
    std::string bytes;
    const std::size_t length = round < 50 ? rng() % 3000 : 65536 * 2 + rng() % 5000;
    while (bytes.size() < length) {
      if (rng() % 50 == 0) bytes.append(rng() % 1200, 'x');
      bytes.push_back(alphabet[rng() % alphabet.size()]);
    }
    if (round == 50) bytes.replace(65535, 2, "\r\n");
    for (const std::size_t size : {std::size_t{0}, std::size_t{2}, std::size_t{5}, std::size_t{1000}}) {
      for (const LineMode mode : {LineMode::kText, LineMode::kBinary}) {
        ASSERT_EQ(lines_of(bytes, size, mode, true), lines_of(bytes, size, mode, false))
            << "round " << round << " size " << size;
      }
    }
  }
}

}  // namespace
}  // namespace quarn
