#include "tests/feed/feed_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <strings.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quarn::testing {
namespace {

using namespace std::chrono_literals;

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<char*> argv_of(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

FeedRun run_feed(const std::filesystem::path& data, const std::vector<std::string>& args,
                 const std::string& input) {
  static int serial = 0;
  const std::string base = (data / ("run" + std::to_string(++serial))).string();
  {
    std::ofstream(base + ".in", std::ios::binary) << input;
  }
  std::vector<std::string> all = {QUARNCRC_FEED_BIN, "--data", data.string()};
  all.insert(all.end(), args.begin(), args.end());
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open((base + ".in").c_str(), O_RDONLY);
    const int out = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv = argv_of(all);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  FeedRun run;
  run.exit_code = exit_code_of(status);
  run.out = slurp(base + ".out");
  run.err = slurp(base + ".err");
  return run;
}

FeedServerProcess::FeedServerProcess(const std::filesystem::path& data,
                                     const std::vector<std::string>& extra)
    : data_(data) {
  std::vector<std::string> all = {QUARNCRC_FEED_BIN, "--data", data.string(), "serve",
                                  "--listen", "127.0.0.1:0"};
  all.insert(all.end(), extra.begin(), extra.end());
  const std::string log_path = (data / "serve.log").string();
  pid_ = fork();
  if (pid_ == 0) {
    const int err = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    std::vector<char*> argv = argv_of(all);
    execv(argv[0], argv.data());
    _exit(127);
  }
  const std::string marker = " on 127.0.0.1:";
  for (int i = 0; i < 500 && port_ == 0; ++i) {
    const std::string text = log();
    const std::size_t at = text.find(marker);
    if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
      port_ = std::stoi(text.substr(at + marker.size()));
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  if (port_ == 0) throw std::runtime_error("the feed did not start: " + log());
}

FeedServerProcess::~FeedServerProcess() { stop(); }

std::string FeedServerProcess::log() const { return slurp(data_ / "serve.log"); }

int FeedServerProcess::stop() {
  if (pid_ <= 0) return exit_code_;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_code_ = exit_code_of(status);
      pid_ = -1;
      return exit_code_;
    }
    std::this_thread::sleep_for(10ms);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  exit_code_ = exit_code_of(status);
  pid_ = -1;
  return exit_code_;
}

std::string http_exchange(int port, const std::string& request, std::chrono::milliseconds limit,
                          std::chrono::milliseconds pace) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return {};
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  if (pace.count() == 0) {
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  } else {
    for (char c : request) {
      if (send(fd, &c, 1, MSG_NOSIGNAL) != 1 || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(pace);
    }
  }
  std::string answer;
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

std::string http_get(int port, const std::string& target) {
  return http_exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                 std::to_string(port) + "\r\n\r\n");
}

std::string header_of(const std::string& answer, const std::string& name) {
  const std::size_t end = answer.find("\r\n\r\n");
  std::istringstream lines(answer.substr(0, end));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > name.size() + 1 && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
        line[name.size()] == ':') {
      return line.substr(name.size() + 2);
    }
  }
  return {};
}

std::string body_of(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

}  // namespace quarn::testing
