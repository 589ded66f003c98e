// Supervised quarncrc engines, shared by every milter thread.
//
// Each engine runs in its own working directory (its quarncrc.ini,
// filter.dat and quarncrc.db) as a child process whose standard input and
// output are pipes to us; its standard error is ours. Many threads use one
// engine at once: each SCAN command line carries a tag of its own
// ("<engine>.<sequence>"), the lines are written to the engine's input as
// they come (pipelined), and the answers, which come back in command order,
// are handed to the waiting thread whose tag they carry.
//
// A supervisor thread per engine reads its answers and watches it:
// - an engine that exits (or cannot be started) is started again after a
//   back-off that doubles from 250 ms up to 30 s and returns to its start
//   once an answer arrives;
// - an engine that has not answered a command within the time-out is killed
//   (its whole process group) and started again;
// - commands already written to a lost engine fail (the caller applies its
//   failure action); commands not yet written wait for the restarted engine,
//   at most one time-out.
// Stopping writes QUIT, waits for the engine to end (killing it after one
// time-out) and joins the supervisor.
//
// Threads: scan() from any thread; stop() once, from the owner.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "milter/answer.h"
#include "milter/milter_log.h"

namespace quarn::milter {

struct ScanResult {
  bool answered = false;  // false: no answer (the reason is in `failure`)
  Answer answer;
  std::string failure;
  int engine = 0;         // the engine's number, from 1
};

class Engine {
 public:
  // `program` is an absolute path; `timeout_ms` may change at any time.
  Engine(Logger& log, std::string program, std::filesystem::path dir, int number,
         const std::atomic<int>& timeout_ms);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Sends "<tag> SCAN <message> <envelope>" and waits for its answer.
  ScanResult scan(const std::string& message_path, const std::string& envelope_path);
  // Commands waiting for an answer or to be written.
  std::size_t load() const;
  bool running() const;
  void stop();

 private:
  struct Request {
    std::string tag;
    std::string line;
    bool sent = false;
    bool done = false;
    ScanResult result;
    std::chrono::steady_clock::time_point deadline;
  };
  using Lock = std::unique_lock<std::mutex>;

  void supervise();
  bool spawn(Lock& lock);
  void send_unsent();
  void finish(Request* request, ScanResult result);
  void dispatch(Answer answer);
  // Kills (when asked) and collects the engine, fails what it was sent.
  void lose(Lock& lock, const std::string& why, bool kill_it);
  std::chrono::milliseconds timeout() const;

  Logger& log_;
  const std::string program_;
  const std::filesystem::path dir_;
  const int number_;
  const std::atomic<int>& timeout_ms_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Request*> queue_;  // written requests first, in order
  std::uint64_t sequence_ = 0;
  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  bool stopping_ = false;
  int failures_ = 0;
  std::chrono::steady_clock::time_point restart_at_;
  std::chrono::steady_clock::time_point stop_deadline_;
  AnswerReader reader_;
  std::thread supervisor_;
};

class EnginePool {
 public:
  // Starts `count` engines: in `workdir` itself when count is 1, else in
  // its subdirectories 1 .. count.
  EnginePool(Logger& log, const std::string& program, const std::filesystem::path& workdir,
             int count, const std::atomic<int>& timeout_ms);
  ScanResult scan(const std::string& message_path, const std::string& envelope_path);
  void stop();

 private:
  std::vector<std::unique_ptr<Engine>> engines_;
};

// The engine program: `configured` when given (made absolute), else
// "quarncrc" beside this program, else along PATH. Empty when not found.
std::string find_engine_program(const std::string& configured);

}  // namespace quarn::milter
