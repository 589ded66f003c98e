// The update state: where the signature feed stands and which rules file is
// in force. Three signed 32-bit times in seconds since 1970, restored from
// the database file's TIME line at start and advanced by update runs.
//
// Owner: the engine. Written by the starting thread before the update
// thread exists, afterwards by the update thread alone; the main thread
// reads the filter time for the status file. Atomics keep those reads clean.
#pragma once

#include <atomic>
#include <cstdint>

namespace quarn {

struct UpdateState {
  // Largest timestamp of an applied update command; 0 = nothing yet.
  std::atomic<std::int32_t> position{0};
  // Time of the last successful update, or the base time after a failure.
  std::atomic<std::int32_t> last_update{0};
  // Version (a time) of the installed rules file; 0 = none.
  std::atomic<std::int32_t> filter_time{0};
};

}  // namespace quarn
