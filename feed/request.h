// What a client asks the feed server, read from the request's method and
// query parameters (already split and percent-decoded by the HTTP library).
//
//   GET  <path>?cmd=update2&from=T&email=E&password=P   records after T
//   GET  <path>?cmd=filter2&email=E&password=P          the rules file
//   POST <path>?cmd=report[&ham=1][&type=N]&email=E&password=P
//                                                       body: one message
//
// `from` is a decimal number of 1 to 10 digits that fits 32 bits signed;
// `type` is a decimal number from 0 to 99; `ham` is "0" or "1". An email
// holds at most 254 bytes and a password at most 1024; neither may hold
// control characters. A refusal carries the reason the server sends back
// as "x-quarn-error: <reason>".
//
// Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quarn::feed {

enum class Command { kUpdate, kFilter, kReport };

struct FeedRequest {
  Command command = Command::kUpdate;
  std::int64_t from = 0;
  bool ham = false;
  std::int32_t type = 0;
  std::string email;
  std::string password;
};

struct Refusal {
  std::string reason;
};

// Looks a query parameter up by name; nothing when the request has none.
using ParamLookup = std::function<std::optional<std::string_view>(std::string_view name)>;

std::variant<FeedRequest, Refusal> parse_request(std::string_view method, const ParamLookup& param);

// Splits a raw query string ("a=1&b=%41") into decoded pairs and calls
// `each` for every one; used where no HTTP library has split it (tests and
// the fuzz target). "+" stays "+".
void split_query(std::string_view query,
                 const std::function<void(std::string_view name, std::string_view value)>& each);

}  // namespace quarn::feed
