#include "support/dir_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace quarn {

DirLock::Result DirLock::acquire(const std::string& path, int poll_ms,
                                 const std::function<bool()>& give_up) {
  if (fd_) return Result::kHeld;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return Result::kFailed;
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      fd_ = std::move(fd);
      return Result::kHeld;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (give_up && give_up()) return Result::kGiveUp;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
  return Result::kFailed;
}

}  // namespace quarn
