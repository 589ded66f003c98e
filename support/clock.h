// The engine's clocks: milliseconds on a monotonic clock, for the timing
// totals (CRC generation, filter runs) and the test-mode summary; and the
// same monotonic time line read at the scheduler's tick, for checks made so
// often that the precise clock would cost more than the work they watch.
#pragma once

#include <time.h>

#include <chrono>

namespace quarn {

inline double clock_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// steady_clock's time, a few milliseconds late at most (CLOCK_MONOTONIC_COARSE
// lags CLOCK_MONOTONIC, which steady_clock reads, by up to one tick).
inline std::chrono::steady_clock::time_point coarse_now() {
  using namespace std::chrono;
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return steady_clock::time_point(duration_cast<steady_clock::duration>(seconds(t.tv_sec) +
                                                                        nanoseconds(t.tv_nsec)));
}

}  // namespace quarn
