// The working directory's writer lock: one engine at a time writes
// quarncrc.db and quarncrc.new.
//
// The lock is an exclusive advisory lock (flock) on the file "quarncrc.lock"
// in the working directory, taken before the database file is loaded and
// held until the process ends (the system drops it with the process, also
// after a crash, so it is never stale). The file's content is never read.
//
// Owner: the engine, one per process, taken on the starting thread.
#pragma once

#include <functional>
#include <string>

#include "support/file.h"

namespace quarn {

inline constexpr const char* kLockFile = "quarncrc.lock";

class DirLock {
 public:
  DirLock() = default;
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

  enum class Result { kHeld, kGiveUp, kFailed };
  // Takes the lock on `path`, trying every `poll_ms` while another process
  // holds it. Between tries `give_up` is asked; when it says true the wait
  // ends with kGiveUp. kFailed when the file cannot be opened or locked.
  Result acquire(const std::string& path, int poll_ms, const std::function<bool()>& give_up);
  bool held() const { return static_cast<bool>(fd_); }

 private:
  UniqueFd fd_;
};

}  // namespace quarn
