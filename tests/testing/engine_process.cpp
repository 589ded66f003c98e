#include "tests/testing/engine_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

#include "tests/testing/temp_dir.h"

#ifndef QUARNCRC_BIN
#error "QUARNCRC_BIN must name the engine binary"
#endif

extern char** environ;

namespace quarn::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

EngineProcess::EngineProcess(const std::filesystem::path& dir, std::vector<std::string> args)
    : dir_(dir) {
  // A test that writes to a dead engine must see an error, not die.
  ::signal(SIGPIPE, SIG_IGN);
  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const std::string err_path = (dir / "stderr.txt").string();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());

  std::vector<std::string> argv_storage;
  argv_storage.push_back(QUARNCRC_BIN);
  for (auto& a : args) argv_storage.push_back(a);
  std::vector<char*> argv;
  for (auto& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  int rc = ::posix_spawn(&pid_, QUARNCRC_BIN, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  in_fd_ = in_pipe[1];
  out_fd_ = out_pipe[0];
  if (rc != 0) throw std::runtime_error("cannot start " QUARNCRC_BIN);
}

EngineProcess::~EngineProcess() {
  close_stdin();
  if (wait_exit(milliseconds(5000)) == -1) {
    ::kill(pid_, SIGKILL);
    wait_exit(milliseconds(5000));
  }
  if (out_fd_ >= 0) ::close(out_fd_);
}

bool EngineProcess::send_raw(std::string_view bytes) {
  while (!bytes.empty()) {
    if (in_fd_ < 0) return false;
    ssize_t n = ::write(in_fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool EngineProcess::fill(Clock::time_point deadline) {
  if (out_closed_) return false;
  pollfd p{out_fd_, POLLIN, 0};
  int ready = ::poll(&p, 1, remaining_ms(deadline));
  if (ready <= 0) return false;
  char chunk[4096];
  ssize_t n = ::read(out_fd_, chunk, sizeof chunk);
  if (n <= 0) {
    out_closed_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> EngineProcess::read_line(milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (true) {
    auto nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    if (!fill(deadline)) return std::nullopt;
  }
}

std::string EngineProcess::read_answer(milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  auto first = read_line(limit);
  if (!first) return {};
  std::string answer = *first + "\n";
  const bool data = first->size() >= 5 && first->compare(first->size() - 5, 5, " DATA") == 0;
  while (data) {
    auto line = read_line(milliseconds(remaining_ms(deadline)));
    if (!line) break;
    answer += *line + "\n";
    if (*line == ".") break;
  }
  return answer;
}

std::string EngineProcess::command(std::string_view line, milliseconds limit) {
  send(line);
  return read_answer(limit);
}

std::string EngineProcess::read_until_eof(milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (fill(deadline)) {
  }
  std::string all;
  all.swap(buffer_);
  return all;
}

bool EngineProcess::silent_for(milliseconds limit) {
  const std::size_t before = buffer_.size();
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (!fill(deadline)) break;
  }
  return buffer_.size() == before;
}

void EngineProcess::close_stdin() {
  if (in_fd_ >= 0) {
    ::close(in_fd_);
    in_fd_ = -1;
  }
}

void EngineProcess::close_stdout() {
  if (out_fd_ >= 0) {
    ::close(out_fd_);
    out_fd_ = -1;
    out_closed_ = true;
  }
}

int EngineProcess::wait_exit(milliseconds limit) {
  if (exit_code_) return *exit_code_;
  const auto deadline = Clock::now() + limit;
  while (true) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return *exit_code_;
    }
    if (r < 0 || Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

int EngineProcess::quit(milliseconds limit) {
  send("QUIT");
  close_stdin();
  return wait_exit(limit);
}

std::string EngineProcess::stderr_text() const {
  return read_file((dir_ / "stderr.txt").string());
}

std::string read_engine_log(const std::filesystem::path& dir) {
  std::string all;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("quarncrc", 0) == 0 && entry.path().extension() == ".log") {
      all += read_file(entry.path().string());
    }
  }
  return all;
}

}  // namespace quarn::testing
