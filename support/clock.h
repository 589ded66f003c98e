// The engine's clocks: milliseconds on a monotonic clock, for the timing
// totals (CRC generation, filter runs) and the test-mode summary; ticks of
// the processor's counter, for the totals of stretches timed thousands of
// times a second; and the monotonic time line read at the scheduler's tick,
// for checks made so often that the precise clock would cost more than the
// work they watch.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace quarn {

inline double clock_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Ticks of the cheapest clock that times short stretches: the processor's
// time-stamp counter on x86-64, steady_clock's nanoseconds elsewhere.
inline std::uint64_t timing_ticks() {
#if defined(__x86_64__)
  return __rdtsc();
#else
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
#endif
}

// Milliseconds between two readings of timing_ticks() (0 when the second is
// not later, as across processors whose counters disagree).
inline double timing_ms(std::uint64_t start, std::uint64_t end) {
  // The counter's rate, measured once against steady_clock over a
  // millisecond's sleep.
  static const double ms_per_tick = [] {
#if defined(__x86_64__)
    const double begun = clock_ms();
    const std::uint64_t first = __rdtsc();
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
    const std::uint64_t last = __rdtsc();
    const double elapsed = clock_ms() - begun;
    return last > first ? elapsed / static_cast<double>(last - first) : 0.0;
#else
    return 1e-6;
#endif
  }();
  return end > start ? static_cast<double>(end - start) * ms_per_tick : 0.0;
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
