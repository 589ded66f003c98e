// Timed, recursive mutexes.
//
// Every wait of the engine has a limit chosen by its caller; nobody waits
// forever. A thread that holds a mutex may take it again and must release it
// once per take. A release by a thread that does not hold the mutex is
// detected and refused (result 0) instead of being undefined. Each mutex
// remembers the source location of its creation and of its most recent wait,
// for diagnosis only.
//
// The engine's four mutexes (log, configuration, database, filter) are owned
// by the subsystem objects they guard. Lock order when nested: database or
// filter first, then configuration, then log; database and filter are never
// held together.
//
// All operations are safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quarn {

class Log;

class MutexRec {
 public:
  explicit MutexRec(std::string name = {}, const char* file = __builtin_FILE(),
                    int line = __builtin_LINE());
  MutexRec(const MutexRec&) = delete;
  MutexRec& operator=(const MutexRec&) = delete;

  // Takes the mutex, waiting at most `limit_ms`; true when it is now held.
  bool wait(int limit_ms, const char* file = __builtin_FILE(), int line = __builtin_LINE());

  // Gives one take back; false when the calling thread does not hold it.
  bool release();

  // True when the calling thread holds the mutex.
  bool held_by_me() const;

  const std::string& name() const { return name_; }
  // Source location of the creation, then of the most recent wait.
  std::string source_file() const;
  int source_line() const;

 private:
  const std::string name_;
  mutable std::mutex state_;
  std::condition_variable released_;
  std::optional<std::thread::id> owner_;
  int depth_ = 0;
  const char* source_file_;
  int source_line_;
};

// Named operations of the thread module over MutexRec.
std::unique_ptr<MutexRec> th_mutex_new_remember(const char* name,
                                                const char* file = __builtin_FILE(),
                                                int line = __builtin_LINE());
// 1 when the mutex is now held; 0 after a timeout or for a null mutex.
int th_mutex_wait_remember(MutexRec* mutex, int limit_ms, const char* file = __builtin_FILE(),
                           int line = __builtin_LINE());
// 1, or 0 after logging "Releaseing mutex failed\n" (to `log` when given,
// else to standard error) when the caller does not hold it.
int th_mutex_release(MutexRec* mutex, Log* log);
void th_mutex_free(std::unique_ptr<MutexRec>& mutex);

// A hold on a mutex for one scope: waits on construction, releases on every
// path out. `held()` tells whether the wait succeeded.
class MutexHold {
 public:
  MutexHold(MutexRec* mutex, int limit_ms, const char* file = __builtin_FILE(),
            int line = __builtin_LINE());
  ~MutexHold();
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

  bool held() const { return held_; }
  explicit operator bool() const { return held_; }
  void release();

 private:
  MutexRec* mutex_;
  bool held_;
};

}  // namespace quarn
