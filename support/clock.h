// The engine's processor clock: milliseconds on a monotonic clock, for the
// timing totals (CRC generation, filter runs) and the test-mode summary.
#pragma once

#include <chrono>

namespace quarn {

inline double clock_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace quarn
