#include "support/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace quarn {

void StopSignal::request() {
  {
    std::lock_guard lock(mutex_);
    requested_ = true;
  }
  wake_.notify_all();
}

bool StopSignal::requested() const {
  std::lock_guard lock(mutex_);
  return requested_;
}

bool StopSignal::sleep_for(int ms) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return requested_; });
}

ThreadRec::~ThreadRec() {
  if (thread_.joinable()) {
    if (finished()) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
}

bool ThreadRec::join_for(int ms) {
  std::unique_lock lock(done_->mutex);
  if (!done_->cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_->finished; })) {
    return false;
  }
  lock.unlock();
  if (thread_.joinable()) thread_.join();
  return true;
}

bool ThreadRec::finished() const {
  std::lock_guard lock(done_->mutex);
  return done_->finished;
}

std::unique_ptr<ThreadRec> th_new(std::function<void()> body) {
  auto rec = std::make_unique<ThreadRec>();
  try {
    rec->thread_ = std::thread([done = rec->done_, body = std::move(body)] {
      body();
      {
        std::lock_guard lock(done->mutex);
        done->finished = true;
      }
      done->cv.notify_all();
    });
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "Thread creation failed %s\n", std::strerror(e.code().value()));
    return nullptr;
  }
  return rec;
}

int th_free(std::unique_ptr<ThreadRec>& thread) {
  thread.reset();
  return 1;
}

int th_id() { return static_cast<int>(::syscall(SYS_gettid)); }

}  // namespace quarn
