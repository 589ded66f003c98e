#include "update/update_schedule.h"

namespace quarn {

bool UpdateSchedule::due(std::int32_t last_update, std::int64_t now) const {
  return now > std::int64_t{last_update} + interval * 60;
}

std::int32_t UpdateSchedule::after_success(std::int64_t now) {
  return static_cast<std::int32_t>(now);
}

std::int32_t UpdateSchedule::after_failure(std::int64_t now, std::uint32_t draw) const {
  const std::int64_t spread = retry_spread == 0 ? 0 : draw % retry_spread;
  return static_cast<std::int32_t>(now - interval + 60 + spread);
}

}  // namespace quarn
