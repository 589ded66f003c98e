#include "engine/status.h"

#include <ctime>

#include "support/version.h"
#include "support/text.h"

namespace quarn {

std::int64_t status_percent(std::int32_t count, std::int32_t base) {
  if (base == 0) return 0;
  return std::int64_t{count} * 100 / std::int64_t{base};
}

std::string format_status(const Counters& c, std::int32_t filter_time,
                          std::string_view filter_error) {
  std::string filter = "None";
  if (filter_time != 0) {
    std::time_t when = filter_time;
    std::tm utc{};
    char date[32] = "None";
    if (gmtime_r(&when, &utc) != nullptr) std::strftime(date, sizeof date, "%b %d %Y", &utc);
    filter = date;
  }
  auto pct = [](std::int32_t n, std::int32_t base) {
    return static_cast<long long>(status_percent(n, base));
  };
  std::string out;
  out += lprintf(kLineSize, "Binary\t%s\n", kBuildDate);
  out += lprintf(kLineSize, "Filter\t%s\n", filter.c_str());
  out += lprintf(kLineSize, "Spam (3 or higher)\t%d (%lld%%)\n", c.spam, pct(c.spam, c.scanned));
  out += lprintf(kLineSize, "CRC Scanned\t%d\n", c.scanned);
  out += lprintf(kLineSize, "CRC Matched\t%d (%lld%%)\n", c.matched, pct(c.matched, c.scanned));
  out += lprintf(kLineSize, "CRC Partial Match\t%d (%lld%%)\n", c.partial,
                 pct(c.partial, c.scanned));
  out += lprintf(kLineSize, "CRC Late Checked\t%d\n", c.late_checked);
  out += lprintf(kLineSize, "CRC Late Matched\t%d (%lld%%)\n", c.late_matched,
                 pct(c.late_matched, c.late_checked));
  out += lprintf(kLineSize, "CRC Late Partial Match\t%d (%lld%%)\n", c.late_partial,
                 pct(c.late_partial, c.late_checked));
  if (!filter_error.empty()) {
    out += "Filter Error\t";
    out += filter_error;
    out += "\n";
  }
  return out;
}

}  // namespace quarn
