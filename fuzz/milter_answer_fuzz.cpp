// Engine output cut into chunks at the first input byte's choice, read as
// answers; the same bytes then go through the spool writer as header values
// and body chunks. Neither may crash, and the spool text must be CR LF only.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "milter/answer.h"
#include "milter/spool.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t chunk = data[0] % 64 + 1;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  quarn::milter::AnswerReader reader;
  for (std::size_t i = 0; i < input.size(); i += chunk) {
    reader.feed(input.substr(i, chunk));
    while (auto answer = reader.next()) {
      quarn::milter::judge(*answer);
      for (const auto& line : answer->headers) quarn::milter::split_header(line);
    }
  }

  std::string out = quarn::milter::spool_header("X-Test", input, (data[0] & 0x80) != 0);
  quarn::milter::CrlfWriter body;
  for (std::size_t i = 0; i < input.size(); i += chunk) body.convert(input.substr(i, chunk), out);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r')) __builtin_trap();
  }
  return 0;
}
