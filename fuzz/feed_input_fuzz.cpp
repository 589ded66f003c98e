// What the feed reads from strangers: query strings of requests and lines
// of import files. The first byte picks which. Request parsing must never
// accept a value outside its bounds; every SET line that parses must come
// back unchanged from the line the feed writes for it.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <variant>

#include "feed/feed_line.h"
#include "feed/request.h"

using namespace quarn::feed;

namespace {

void fuzz_request(std::string_view query, bool post) {
  std::map<std::string, std::string> params;
  split_query(query, [&](std::string_view name, std::string_view value) {
    params.emplace(std::string(name), std::string(value));
  });
  const auto parsed = parse_request(post ? "POST" : "GET", [&](std::string_view name) {
    const auto it = params.find(std::string(name));
    return it == params.end() ? std::nullopt : std::optional<std::string_view>(it->second);
  });
  if (const auto* request = std::get_if<FeedRequest>(&parsed)) {
    if (request->from < 0 || request->from > INT32_MAX) std::abort();
    if (request->email.size() > 254 || request->password.size() > 1024) std::abort();
    if (request->type < 0 || request->type > 99) std::abort();
  }
}

void fuzz_lines(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    const ParsedLine parsed = parse_feed_line(line);
    const auto* set = std::get_if<SetLine>(&parsed);
    if (!set) continue;
    const std::string written = format_set_line(*set);
    const ParsedLine again = parse_feed_line(written);
    const auto* back = std::get_if<SetLine>(&again);
    if (!back || back->id != set->id || back->stamp != set->stamp || back->count != set->count ||
        back->other != set->other || back->status != set->status || back->type != set->type ||
        back->crcs != set->crcs || back->signature != set->signature) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: fuzz_request(rest, false); break;
    case 1: fuzz_request(rest, true); break;
    default: fuzz_lines(rest); break;
  }
  return 0;
}
