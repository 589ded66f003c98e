#include "milter/engine_pool.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quarn::milter {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstBackoff{250};
constexpr milliseconds kLongestBackoff{30000};
constexpr milliseconds kPollSlice{200};
// An engine that keeps a partial answer larger than this is talking nonsense.
constexpr std::size_t kMaxPendingBytes = 1 << 20;

milliseconds backoff(int failures) {
  milliseconds delay = kFirstBackoff;
  for (int i = 1; i < failures && delay < kLongestBackoff; ++i) delay *= 2;
  return std::min(delay, kLongestBackoff);
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Collects a child that should be ending; kills it after `grace`.
int reap(pid_t pid, milliseconds grace) {
  int status = 0;
  auto until = Clock::now() + grace;
  while (Clock::now() < until) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return -1;
    std::this_thread::sleep_for(milliseconds(20));
  }
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string describe_status(int status) {
  if (status < 0) return "status unknown";
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace

Engine::Engine(Logger& log, std::string program, std::filesystem::path dir, int number,
               const std::atomic<int>& timeout_ms)
    : log_(log),
      program_(std::move(program)),
      dir_(std::move(dir)),
      number_(number),
      timeout_ms_(timeout_ms) {
  supervisor_ = std::thread([this] { supervise(); });
}

Engine::~Engine() { stop(); }

std::chrono::milliseconds Engine::timeout() const { return milliseconds(timeout_ms_.load()); }

std::size_t Engine::load() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

bool Engine::running() const {
  std::lock_guard lock(mutex_);
  return pid_ > 0;
}

ScanResult Engine::scan(const std::string& message_path, const std::string& envelope_path) {
  Request request;
  Lock lock(mutex_);
  if (stopping_) {
    ScanResult failed;
    failed.failure = "engines are stopping";
    failed.engine = number_;
    return failed;
  }
  request.tag = std::to_string(number_) + "." + std::to_string(++sequence_);
  request.line = request.tag + " SCAN " + message_path + " " + envelope_path + "\n";
  queue_.push_back(&request);
  send_unsent();
  // A request not yet written waits for an engine at most one time-out; a
  // written one is always finished by the supervisor (answer, loss or
  // time-out).
  auto unsent_deadline = Clock::now() + timeout();
  while (!request.done) {
    if (!request.sent && Clock::now() >= unsent_deadline) {
      std::erase(queue_, &request);
      request.result.failure = "no engine available";
      request.done = true;
      break;
    }
    changed_.wait_for(lock, kPollSlice);
  }
  request.result.engine = number_;
  return std::move(request.result);
}

void Engine::send_unsent() {
  if (pid_ <= 0 || in_fd_ < 0) return;
  for (Request* request : queue_) {
    if (request->sent) continue;
    ssize_t n = ::write(in_fd_, request->line.data(), request->line.size());
    if (n < 0 && errno == EAGAIN) return;  // the engine is behind; try later
    // A short or failed write means the engine is going away; the loss is
    // seen on its output and fails the request.
    request->sent = true;
    request->deadline = Clock::now() + timeout();
  }
}

void Engine::finish(Request* request, ScanResult result) {
  request->result = std::move(result);
  request->done = true;
  std::erase(queue_, request);
  changed_.notify_all();
}

void Engine::dispatch(Answer answer) {
  auto it = std::find_if(queue_.begin(), queue_.end(), [&](const Request* r) {
    return r->sent && r->tag == answer.tag;
  });
  if (it == queue_.end()) {
    log_.error("engine %d: answer for unknown tag \"%.60s\" dropped", number_,
               answer.tag.c_str());
    return;
  }
  Request* target = *it;  // finish() changes the queue under the iterator
  // Answers come in command order: written commands before this one will
  // never be answered.
  while (queue_.front() != target) {
    ScanResult skipped;
    skipped.failure = "engine skipped the command";
    finish(queue_.front(), std::move(skipped));
  }
  failures_ = 0;
  ScanResult result;
  result.answered = true;
  result.answer = std::move(answer);
  finish(target, std::move(result));
}

bool Engine::spawn(Lock&) {
  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) return false;
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
  posix_spawnattr_init(&attr);
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETPGROUP);
  std::string arg0 = program_;
  char* argv[] = {arg0.data(), nullptr};
  pid_t pid = -1;
  int err = ::posix_spawn(&pid, program_.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (err != 0) {
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    log_.error("engine %d: cannot start %s in %s: %s", number_, program_.c_str(),
               dir_.c_str(), std::strerror(err));
    return false;
  }
  ::fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  pid_ = pid;
  in_fd_ = in_pipe[1];
  out_fd_ = out_pipe[0];
  reader_.reset();
  log_.info("engine %d: started %s in %s (pid %d)", number_, program_.c_str(), dir_.c_str(),
            static_cast<int>(pid));
  return true;
}

void Engine::lose(Lock& lock, const std::string& why, bool kill_it) {
  pid_t pid = pid_;
  close_fd(in_fd_);
  close_fd(out_fd_);
  pid_ = -1;
  reader_.reset();
  if (kill_it) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
  }
  // Collecting the child may take a moment; scans keep queueing meanwhile.
  lock.unlock();
  int status = reap(pid, kill_it ? milliseconds(5000) : milliseconds(2000));
  lock.lock();
  int lost = 0;
  for (std::size_t i = 0; i < queue_.size();) {
    Request* request = queue_[i];
    if (!request->sent) {
      ++i;
      continue;
    }
    ScanResult failed;
    failed.failure = "engine " + why;
    finish(request, std::move(failed));
    ++lost;
  }
  if (stopping_) {
    log_.info("engine %d: stopped (pid %d, %s)", number_, static_cast<int>(pid),
              describe_status(status).c_str());
    return;
  }
  ++failures_;
  restart_at_ = Clock::now() + backoff(failures_);
  log_.error("engine %d: %s (pid %d, %s); %d message(s) in flight failed; restart in %lld ms",
             number_, why.c_str(), static_cast<int>(pid), describe_status(status).c_str(), lost,
             static_cast<long long>(backoff(failures_).count()));
}

void Engine::supervise() {
  Lock lock(mutex_);
  char buffer[65536];
  while (true) {
    if (pid_ <= 0) {
      if (stopping_) break;
      if (Clock::now() < restart_at_) {
        changed_.wait_until(lock, restart_at_);
        continue;
      }
      if (!spawn(lock)) {
        ++failures_;
        restart_at_ = Clock::now() + backoff(failures_);
        continue;
      }
      send_unsent();
    }
    auto now = Clock::now();
    milliseconds wait = kPollSlice;
    bool overdue = false;
    for (const Request* request : queue_) {
      if (!request->sent) continue;
      if (request->deadline <= now) overdue = true;
      wait = std::min(wait, std::chrono::duration_cast<milliseconds>(request->deadline - now) +
                                milliseconds(1));
      break;  // the oldest written request is due first
    }
    if (overdue) {
      lose(lock, "did not answer within " + std::to_string(timeout().count() / 1000) +
                     " s and was killed", true);
      continue;
    }
    if (stopping_ && now >= stop_deadline_) {
      lose(lock, "did not stop after QUIT and was killed", true);
      continue;
    }
    int fd = out_fd_;
    lock.unlock();
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(wait.count(), 0)));
    ssize_t n = 0;
    int read_errno = 0;
    if (ready > 0) {
      n = ::read(fd, buffer, sizeof buffer);
      read_errno = errno;
    }
    lock.lock();
    if (ready <= 0) {
      send_unsent();
      continue;
    }
    if (n < 0 && (read_errno == EINTR || read_errno == EAGAIN)) continue;
    if (n <= 0) {
      lose(lock, stopping_ ? "ended" : "exited", false);
      continue;
    }
    reader_.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    while (auto answer = reader_.next()) dispatch(std::move(*answer));
    if (reader_.pending_bytes() > kMaxPendingBytes) {
      lose(lock, "sent an answer without end and was killed", true);
      continue;
    }
    send_unsent();
  }
}

void Engine::stop() {
  {
    Lock lock(mutex_);
    if (!supervisor_.joinable()) return;
    if (!stopping_) {
      stopping_ = true;
      // It may be finishing a scan: it gets the time a scan may take.
      stop_deadline_ = Clock::now() + timeout();
      if (in_fd_ >= 0) {
        // Commands still queued are failed below; the engine finishes what
        // it was sent and ends at QUIT.
        static constexpr char kQuit[] = "QUIT\n";
        (void)!::write(in_fd_, kQuit, sizeof kQuit - 1);
        close_fd(in_fd_);
      }
      for (std::size_t i = 0; i < queue_.size();) {
        if (queue_[i]->sent) {
          ++i;
          continue;
        }
        ScanResult failed;
        failed.failure = "engines are stopping";
        finish(queue_[i], std::move(failed));
      }
      changed_.notify_all();
    }
  }
  supervisor_.join();
}

EnginePool::EnginePool(Logger& log, const std::string& program,
                       const std::filesystem::path& workdir, int count,
                       const std::atomic<int>& timeout_ms) {
  for (int i = 1; i <= count; ++i) {
    std::filesystem::path dir = count == 1 ? workdir : workdir / std::to_string(i);
    engines_.push_back(std::make_unique<Engine>(log, program, dir, i, timeout_ms));
  }
}

ScanResult EnginePool::scan(const std::string& message_path, const std::string& envelope_path) {
  // The least busy running engine; any engine when none runs right now (the
  // scan waits for its restart).
  Engine* best = nullptr;
  std::size_t best_load = 0;
  bool best_running = false;
  for (const auto& engine : engines_) {
    bool running = engine->running();
    std::size_t load = engine->load();
    if (best == nullptr || (running && !best_running) ||
        (running == best_running && load < best_load)) {
      best = engine.get();
      best_load = load;
      best_running = running;
    }
  }
  return best->scan(message_path, envelope_path);
}

void EnginePool::stop() {
  for (auto& engine : engines_) engine->stop();
}

std::string find_engine_program(const std::string& configured) {
  namespace fs = std::filesystem;
  std::error_code ec;
  auto runnable = [](const fs::path& p) { return ::access(p.c_str(), X_OK) == 0; };
  if (!configured.empty()) {
    if (configured.find('/') != std::string::npos) {
      fs::path p = fs::absolute(configured, ec);
      return !ec && runnable(p) ? p.string() : "";
    }
  } else {
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
      fs::path beside = self.parent_path() / "quarncrc";
      if (runnable(beside)) return beside.string();
    }
  }
  std::string name = configured.empty() ? "quarncrc" : configured;
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
    if (end > start && candidate.is_absolute() && runnable(candidate)) return candidate.string();
    start = end + 1;
  }
  return "";
}

}  // namespace quarn::milter
