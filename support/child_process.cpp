#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/file.h"
#include "support/text.h"

extern char** environ;

namespace quarn {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollSleepMs = 10;
// A killed child is collected within this time, or left to the system.
constexpr int kReapLimitMs = 5000;
constexpr const char* kShell = "/bin/sh";
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";

std::int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Arguments after the program part: blanks separate, double quotes group
// and are removed; a pair of quotes alone is an empty argument.
std::vector<std::string> split_args(std::string_view text) {
  std::vector<std::string> args;
  std::string current;
  bool in_token = false;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      in_token = true;
    } else if (is_blank(c) && !quoted) {
      if (in_token) args.push_back(std::move(current));
      current.clear();
      in_token = false;
    } else {
      current += c;
      in_token = true;
    }
  }
  if (in_token) args.push_back(std::move(current));
  return args;
}

bool is_regular(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Finds the file to run: 0 and its path, or the errno that says why not.
int resolve_program(const std::string& program, bool batch, std::string& path) {
  if (program.empty()) return ENOENT;
  const int wanted = batch ? R_OK : X_OK;
  if (program.find('/') != std::string::npos) {
    struct stat st {};
    if (::stat(program.c_str(), &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EACCES;
    if (batch && ::access(program.c_str(), R_OK) != 0) return errno;
    path = program;
    return 0;
  }
  if (is_regular(program)) {  // the working directory first
    path = program;
    return 0;
  }
  const char* env_path = std::getenv("PATH");
  std::string_view dirs = env_path != nullptr ? env_path : kDefaultPath;
  bool denied = false;
  for (;;) {
    const std::size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    std::string candidate = dir.empty() ? program : std::string(dir) + "/" + program;
    if (is_regular(candidate)) {
      if (::access(candidate.c_str(), wanted) == 0) {
        path = std::move(candidate);
        return 0;
      }
      denied = true;
    }
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return denied ? EACCES : ENOENT;
}

std::string start_error_text(int err) {
  switch (err) {
    case ENOENT: return "File Not Found";
    case ENOTDIR: return "Path Not Found";
    case EACCES: return "Access Denied";
    default: return lprintf(64, "Error %d", err);
  }
}

bool fd_is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
  SpawnSetup() {
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
};

}  // namespace

// ---------------------------------------------------------------------------
// ChildProcess

ChildProcess::~ChildProcess() { reset(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), ended_(other.ended_), killed_(other.killed_), exit_code_(other.exit_code_) {
  other.pid_ = -1;
  other.ended_ = false;
  other.killed_ = false;
  other.exit_code_ = 0;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    reset();
    pid_ = other.pid_;
    ended_ = other.ended_;
    killed_ = other.killed_;
    exit_code_ = other.exit_code_;
    other.pid_ = -1;
    other.ended_ = false;
    other.killed_ = false;
    other.exit_code_ = 0;
  }
  return *this;
}

std::optional<int> ChildProcess::exit_code() const {
  if (!ended_) return std::nullopt;
  return exit_code_;
}

ChildProcess::Status ChildProcess::poll_status(int& err) {
  err = 0;
  if (ended_) return Status::kEnded;
  if (pid_ <= 0) {
    err = ECHILD;
    return Status::kUnknown;
  }
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return Status::kRunning;
  if (r < 0) {
    err = errno;
    // Collected elsewhere: the process id may already belong to another
    // process, so it must never be signalled again.
    if (err == ECHILD) {
      ended_ = true;
      exit_code_ = 0;
    }
    return Status::kUnknown;
  }
  ended_ = true;
  if (WIFEXITED(status)) {
    exit_code_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    exit_code_ = killed_ ? 0 : 128 + WTERMSIG(status);
  } else {
    exit_code_ = 0;
  }
  return Status::kEnded;
}

int ChildProcess::kill_group() {
  if (pid_ <= 0 || ended_) return 0;
  killed_ = true;
  int err = 0;
  if (::kill(-pid_, SIGKILL) != 0) err = errno;
  // The child may have left its group; it is still ours to kill until it
  // has been collected.
  if (::kill(pid_, SIGKILL) == 0) err = 0;
  return err;
}

void ChildProcess::reap_killed() {
  const auto start = Clock::now();
  int err = 0;
  while (poll_status(err) == Status::kRunning && ms_since(start) < kReapLimitMs) {
    sleep_ms(1);
  }
}

void ChildProcess::reset() {
  if (pid_ > 0 && !ended_) {
    kill_group();
    reap_killed();
  }
  pid_ = -1;
  ended_ = false;
  killed_ = false;
  exit_code_ = 0;
}

// ---------------------------------------------------------------------------
// Command lines

SpawnCommand parse_command(std::string_view command) {
  SpawnCommand parsed;
  while (!command.empty() && is_blank(command.front())) command.remove_prefix(1);
  std::string_view rest;
  if (!command.empty() && command.front() == '"') {
    command.remove_prefix(1);
    const std::size_t end = command.find('"');
    parsed.program = std::string(command.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : command.substr(end + 1);
  } else {
    std::size_t end = 0;
    while (end < command.size() && !is_blank(command[end])) ++end;
    parsed.program = std::string(command.substr(0, end));
    rest = command.substr(end);
  }
  parsed.args = split_args(rest);
  const std::string& p = parsed.program;
  parsed.batch = p.size() >= 4 && mystrcmpnc(std::string_view(p).substr(p.size() - 4), ".bat") == 0;
  return parsed;
}

int lib_var_replace(std::string_view source, std::string& destination, std::size_t capacity,
                    std::string_view placeholder, std::string_view replacement) {
  destination.clear();
  if (capacity == 0) return 1;
  const std::size_t limit = capacity - 1;
  source = cstr_view(source);
  std::size_t i = 0;
  while (i < source.size()) {
    if (!placeholder.empty() && source.substr(i).starts_with(placeholder)) {
      if (destination.size() + replacement.size() > limit) break;
      destination.append(replacement);
      i += placeholder.size();
    } else {
      if (destination.size() + 1 > limit) break;
      destination += source[i++];
    }
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Starting, waiting, releasing

int ChildProcess::start(Log& log, std::string_view command, char* const* envp,
                        std::string& error_text) {
  error_text.clear();
  SpawnCommand parsed = parse_command(cstr_view(command));
  if (parsed.batch) {
    log.emsg("lib_spawn: CreateProcess starting a .bat file\n");
  } else {
    log.emsg("lib_spawn: CreateProcess starting a normal file\n");
  }

  std::string path;
  if (int err = resolve_program(parsed.program, parsed.batch, path); err != 0) {
    error_text = start_error_text(err);
    return 0;
  }

  std::vector<std::string> argv_text;
  if (parsed.batch) {
    argv_text.push_back(kShell);
    argv_text.push_back(path);
  } else {
    argv_text.push_back(parsed.program);
  }
  for (auto& arg : parsed.args) argv_text.push_back(std::move(arg));
  std::vector<char*> argv;
  for (auto& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  SpawnSetup setup;
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  flags |= parsed.batch ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP;
  posix_spawnattr_setflags(&setup.attr, flags);
  posix_spawnattr_setsigdefault(&setup.attr, &all);
  posix_spawnattr_setsigmask(&setup.attr, &none);
  posix_spawnattr_setpgroup(&setup.attr, 0);

  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (fd_is_open(STDERR_FILENO)) {
    posix_spawn_file_actions_adddup2(&setup.actions, STDERR_FILENO, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);

  const std::string& program_file = parsed.batch ? argv_text[0] : path;
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program_file.c_str(), &setup.actions, &setup.attr, argv.data(),
                         envp);
  if (rc != 0) {
    error_text = start_error_text(rc);
    return 0;
  }
  *this = ChildProcess(pid);
  return 1;
}

int lib_detach_handle(Log& log, std::string_view command, std::string& error_text,
                      ChildProcess& handle_out) {
  return handle_out.start(log, command, environ, error_text);
}

int lib_detach_prog_env(Log& log, std::string_view command, const std::vector<std::string>& env,
                        std::string& error_text, ChildProcess& handle_out) {
  std::vector<std::string> block(env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& entry : block) envp.push_back(entry.data());
  envp.push_back(nullptr);
  return handle_out.start(log, command, envp.data(), error_text);
}

int ChildProcess::wait_ms(Log& log, std::int64_t limit_ms, int& exit_code) {
  const auto start = Clock::now();
  while (ms_since(start) < limit_ms) {
    int err = 0;
    switch (poll_status(err)) {
      case Status::kRunning:
        sleep_ms(kPollSleepMs);
        continue;
      case Status::kEnded:
        exit_code = exit_code_;
        return 1;
      case Status::kUnknown:
        log.emsg("lib_spawn: GetExitCodeProcess(%d,%s)\n", static_cast<int>(pid_),
                 system_error_text(err).c_str());
        exit_code = 0;
        return 1;
    }
  }
  return 0;
}

int detach_wait_ms(Log& log, ChildProcess& handle, std::int64_t limit_ms, int& exit_code) {
  return handle.wait_ms(log, limit_ms, exit_code);
}

int lib_detach_wait(Log& log, ChildProcess& handle, int seconds, int& exit_code) {
  return detach_wait_ms(log, handle, static_cast<std::int64_t>(seconds) * 1000, exit_code);
}

int ChildProcess::release(Log& log) {
  log.imsg("lib_spawn: spawn_release(handle=%d) killing process\n", static_cast<int>(pid_));
  int err = 0;
  ChildProcess::Status status = poll_status(err);
  if (status == Status::kUnknown) {
    log.emsg("lib_spawn: GetExitCodeProcess(%d,%s)\n", static_cast<int>(pid_),
             system_error_text(err).c_str());
  }
  if (status == Status::kRunning) {
    log.emsg("lib_spawn: spawn_release: Releasing handle for process still alive\n");
  } else {
    log.imsg("lib_spawn: the process has terminated normally %d\n",
             status == Status::kEnded ? exit_code_ : 0);
  }
  // A child left running could never be collected once its handle is gone.
  reset();
  return 1;
}

int ChildProcess::kill(Log& log) {
  int err = 0;
  if (poll_status(err) == Status::kRunning) {
    if (int kill_err = kill_group(); kill_err != 0) {
      log.emsg("lib_spawn: TerminateProcess(%s)\n", system_error_text(kill_err).c_str());
    }
    reap_killed();
  }
  return release(log);
}

int lib_detach_free(Log& log, ChildProcess& handle) { return handle.release(log); }

int lib_detach_kill(Log& log, ChildProcess& handle) { return handle.kill(log); }

}  // namespace quarn
