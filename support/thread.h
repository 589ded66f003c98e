// The engine's second thread and the signal that stops it.
//
// `th_new` starts a function on a new thread; `ThreadRec` owns it. The
// engine stops its update thread cooperatively: it raises the `StopSignal`
// the thread sleeps on, waits a bounded time for the thread to finish
// (`join_for`), and only then frees state the thread may touch. A thread that
// does not finish in time is detached, never joined forever and never left
// joinable (which would end the process).
//
// Safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quarn {

// A stop request that sleeping threads notice at once.
class StopSignal {
 public:
  void request();
  bool requested() const;
  // Sleeps up to `ms`; returns false when a stop was requested (before or
  // during the sleep), true when the full time passed.
  bool sleep_for(int ms);

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool requested_ = false;
};

class ThreadRec {
 public:
  ThreadRec() = default;
  ~ThreadRec();
  ThreadRec(const ThreadRec&) = delete;
  ThreadRec& operator=(const ThreadRec&) = delete;

  // Waits up to `ms` for the thread function to return; true when it did
  // (the thread is then joined).
  bool join_for(int ms);
  bool finished() const;

 private:
  friend std::unique_ptr<ThreadRec> th_new(std::function<void()> body);
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
  };
  std::shared_ptr<Done> done_ = std::make_shared<Done>();
  std::thread thread_;
};

// Starts `body` on a new thread. On failure prints "Thread creation failed
// %s\n" on standard error and returns null.
std::unique_ptr<ThreadRec> th_new(std::function<void()> body);

// Forgets a thread without waiting for it (it is detached if still running).
int th_free(std::unique_ptr<ThreadRec>& thread);

// The calling thread's numeric id (the kernel's thread id).
int th_id();

}  // namespace quarn
