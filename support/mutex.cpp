#include "support/mutex.h"

#include <cstdio>

#include "support/log.h"

namespace quarn {

MutexRec::MutexRec(std::string name, const char* file, int line)
    : name_(std::move(name)), source_file_(file), source_line_(line) {}

bool MutexRec::wait(int limit_ms, const char* file, int line) {
  const auto me = std::this_thread::get_id();
  std::unique_lock lock(state_);
  source_file_ = file;
  source_line_ = line;
  if (owner_ == me) {
    ++depth_;
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  if (!released_.wait_until(lock, deadline, [this] { return !owner_.has_value(); })) {
    return false;
  }
  owner_ = me;
  depth_ = 1;
  return true;
}

bool MutexRec::release() {
  std::unique_lock lock(state_);
  if (owner_ != std::this_thread::get_id()) return false;
  if (--depth_ == 0) {
    owner_.reset();
    lock.unlock();
    released_.notify_one();
  }
  return true;
}

bool MutexRec::held_by_me() const {
  std::lock_guard lock(state_);
  return owner_ == std::this_thread::get_id();
}

std::string MutexRec::source_file() const {
  std::lock_guard lock(state_);
  return source_file_;
}

int MutexRec::source_line() const {
  std::lock_guard lock(state_);
  return source_line_;
}

std::unique_ptr<MutexRec> th_mutex_new_remember(const char* name, const char* file, int line) {
  return std::make_unique<MutexRec>(name != nullptr ? name : "", file, line);
}

int th_mutex_wait_remember(MutexRec* mutex, int limit_ms, const char* file, int line) {
  if (mutex == nullptr) return 0;
  return mutex->wait(limit_ms, file, line) ? 1 : 0;
}

int th_mutex_release(MutexRec* mutex, Log* log) {
  if (mutex != nullptr && mutex->release()) return 1;
  if (log != nullptr) {
    log->emsg("Releaseing mutex failed\n");
  } else {
    std::fputs("Releaseing mutex failed\n", stderr);
  }
  return 0;
}

void th_mutex_free(std::unique_ptr<MutexRec>& mutex) { mutex.reset(); }

MutexHold::MutexHold(MutexRec* mutex, int limit_ms, const char* file, int line)
    : mutex_(mutex), held_(th_mutex_wait_remember(mutex, limit_ms, file, line) == 1) {}

MutexHold::~MutexHold() { release(); }

void MutexHold::release() {
  if (held_) {
    mutex_->release();
    held_ = false;
  }
}

}  // namespace quarn
