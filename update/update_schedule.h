// When an update run is due, and when a failed one is tried again.
//
// The update state keeps one time, the last update (seconds since 1970,
// 32 bits as the database file's TIME line stores it). A run is due once
// the clock has passed it by UPDATE_INT minutes:
//
//   due          now > last update + UPDATE_INT * 60
//   success      last update = the time of the success
//   failure      last update = now - UPDATE_INT + 60 + spread
//
// On failure UPDATE_INT is subtracted as it is, minutes taken as seconds,
// so the next try comes UPDATE_INT * 60 - UPDATE_INT + 60 + spread seconds
// on; the spread (0 to the retry width less one, from a random draw) keeps
// many engines that failed together from all asking again at once. The
// start-up update spreads its retry over 240 seconds, the update thread over
// 540. The arithmetic runs in 64 bits, so a huge interval cannot wrap into
// the past.
//
// Pure: the caller passes the time from its own clock and the random draw
// from its own generator. Safe from any thread.
#pragma once

#include <cstdint>

namespace quarn {

// Retry widths, in seconds.
inline constexpr std::uint32_t kStartRetrySpread = 240;
inline constexpr std::uint32_t kThreadRetrySpread = 540;

struct UpdateSchedule {
  std::int64_t interval = 0;           // UPDATE_INT, minutes
  std::uint32_t retry_spread = 1;      // seconds the retry is spread over

  // True when a run is due at `now` after the last update `last_update`.
  bool due(std::int32_t last_update, std::int64_t now) const;

  // The last update time after a run that succeeded at `now`.
  static std::int32_t after_success(std::int64_t now);

  // The last update time after a run that failed at `now`; `draw` is a
  // random number, taken modulo the retry width.
  std::int32_t after_failure(std::int64_t now, std::uint32_t draw) const;
};

}  // namespace quarn
