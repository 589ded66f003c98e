#include "tests/testing/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace quarn::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Most one send may wait for the client to take bytes.
constexpr int kSendWaitMs = 5000;
constexpr int kAcceptPollMs = 1000;

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

HttpServer::HttpServer() {
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  wake_read_ = wake[0];
  wake_write_ = wake[1];

  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    ::close(wake_read_);
    ::close(wake_write_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
}

HttpServer::~HttpServer() {
  stop();
  if (thread_.joinable()) thread_.join();
  ::close(listen_fd_);
  ::close(wake_read_);
  ::close(wake_write_);
}

std::string HttpServer::host_port() const { return "127.0.0.1:" + std::to_string(port_); }

void HttpServer::add_answer(ScriptedAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.push_back(std::move(answer));
}

void HttpServer::add_answer(std::string bytes) {
  ScriptedAnswer answer;
  answer.bytes = std::move(bytes);
  add_answer(std::move(answer));
}

std::vector<std::string> HttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t HttpServer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool HttpServer::wait_for_connections(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

bool HttpServer::wait_for_finished(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return finished_ >= count; });
}

void HttpServer::stop() {
  if (stopping_.exchange(true)) return;
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_write_, &byte, 1);
}

int HttpServer::wait(int fd, short events, int ms) const {
  pollfd fds[2] = {{wake_read_, POLLIN, 0}, {fd, events, 0}};
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (stopping_) return -1;
    int r = ::poll(fds, fd >= 0 ? 2 : 1, ms_left(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (stopping_ || r < 0) return -1;
    if (r == 0) return 0;
    if (fd >= 0 && fds[1].revents != 0) return fds[1].revents;
  }
}

bool HttpServer::receive(int fd, std::size_t index) {
  char buf[4096];
  ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n <= 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  requests_[index].append(buf, static_cast<std::size_t>(n));
  return true;
}

bool HttpServer::send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    if (wait(fd, POLLOUT, kSendWaitMs) <= 0) return false;
  }
  return true;
}

void HttpServer::serve(int fd, std::size_t index, const ScriptedAnswer& answer) {
  auto record_has_end = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_[index].find("\r\n\r\n") != std::string::npos;
  };
  bool open = true;
  if (answer.read_request) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(answer.request_wait_ms);
    while (open && !record_has_end()) {
      int ev = wait(fd, POLLIN, ms_left(deadline));
      if (ev <= 0) break;
      open = receive(fd, index);
    }
  }
  if (stopping_) return;

  bool sending = pause(answer.delay_ms);
  std::string_view rest = answer.bytes;
  std::size_t sent = 0;
  while (sending && !rest.empty()) {
    std::size_t piece = answer.chunk_size == 0 ? rest.size() : std::min(answer.chunk_size, rest.size());
    if (sent < answer.stall_at) piece = std::min(piece, answer.stall_at - sent);
    if (!send_all(fd, rest.substr(0, piece))) break;
    rest.remove_prefix(piece);
    sent += piece;
    if (rest.empty()) break;
    if (sent == answer.stall_at) sending = pause(answer.stall_ms);
    if (sending && answer.chunk_size != 0) sending = pause(answer.chunk_delay_ms);
  }
  if (stopping_ || answer.reset) return;

  // Record what the client still sends until it closes, within the limit.
  if (answer.close_after) ::shutdown(fd, SHUT_WR);
  const int keep_ms = answer.close_after ? answer.drain_ms : answer.hold_ms;
  const auto deadline = Clock::now() + std::chrono::milliseconds(keep_ms);
  while (open) {
    int ev = wait(fd, POLLIN, ms_left(deadline));
    if (ev <= 0) break;
    open = receive(fd, index);
  }
}

void HttpServer::run() {
  while (!stopping_) {
    int ev = wait(listen_fd_, POLLIN, kAcceptPollMs);
    if (ev < 0) break;
    if (ev == 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;

    ScriptedAnswer answer;
    bool scripted = false;
    std::size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!answers_.empty()) {
        answer = std::move(answers_.front());
        answers_.pop_front();
        scripted = true;
      }
      index = requests_.size();
      requests_.emplace_back();
    }
    changed_.notify_all();
    if (!scripted) answer.drain_ms = 0;

    serve(fd, index, answer);
    if (answer.reset || stopping_) {
      linger lg{1, 0};  // close with a reset
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    ::close(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++finished_;
    }
    changed_.notify_all();
  }
}

std::string http_answer(std::string_view status_line, const std::vector<std::string>& headers,
                        std::string_view body) {
  std::string out(status_line);
  out += "\r\n";
  for (const auto& header : headers) {
    out += header;
    out += "\r\n";
  }
  out += "\r\n";
  out += body;
  return out;
}

}  // namespace quarn::testing
