#include "feed/request.h"

namespace quarn::feed {
namespace {

constexpr std::size_t kMaxEmail = 254;
constexpr std::size_t kMaxPassword = 1024;

std::optional<std::int64_t> read_decimal(std::string_view text, std::size_t max_digits,
                                         std::int64_t max_value) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > max_value) return std::nullopt;
  return value;
}

bool clean_text(std::string_view text, std::size_t max) {
  if (text.size() > max) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
        hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::variant<FeedRequest, Refusal> parse_request(std::string_view method, const ParamLookup& param) {
  const std::optional<std::string_view> cmd = param("cmd");
  if (!cmd) return Refusal{"missing command"};
  FeedRequest request;
  std::string_view wanted_method = "GET";
  if (*cmd == "update2") {
    request.command = Command::kUpdate;
  } else if (*cmd == "filter2") {
    request.command = Command::kFilter;
  } else if (*cmd == "report") {
    request.command = Command::kReport;
    wanted_method = "POST";
  } else {
    return Refusal{"unknown command"};
  }
  if (method != wanted_method) return Refusal{"method not allowed"};

  if (request.command == Command::kUpdate) {
    const std::optional<std::string_view> from = param("from");
    const std::optional<std::int64_t> value =
        from ? read_decimal(*from, 10, INT32_MAX) : std::nullopt;
    if (!value) return Refusal{"malformed from"};
    request.from = *value;
  }
  if (request.command == Command::kReport) {
    if (const std::optional<std::string_view> ham = param("ham")) {
      if (*ham != "0" && *ham != "1") return Refusal{"malformed ham"};
      request.ham = *ham == "1";
    }
    if (const std::optional<std::string_view> type = param("type")) {
      const std::optional<std::int64_t> value = read_decimal(*type, 2, 99);
      if (!value) return Refusal{"malformed type"};
      request.type = static_cast<std::int32_t>(*value);
    }
  }
  const std::string_view email = param("email").value_or("");
  const std::string_view password = param("password").value_or("");
  if (!clean_text(email, kMaxEmail)) return Refusal{"malformed email"};
  if (!clean_text(password, kMaxPassword)) return Refusal{"malformed password"};
  request.email = email;
  request.password = password;
  return request;
}

void split_query(std::string_view query,
                 const std::function<void(std::string_view name, std::string_view value)>& each) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    const std::string name = percent_decode(pair.substr(0, eq));
    const std::string value =
        eq == std::string_view::npos ? std::string{} : percent_decode(pair.substr(eq + 1));
    each(name, value);
  }
}

}  // namespace quarn::feed
