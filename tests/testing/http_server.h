// A scripted HTTP server for tests, on 127.0.0.1 at a free port.
//
// The server runs on a thread of its own and serves one connection at a
// time, in the order the connections arrive (later ones wait in the listen
// queue). Each accepted connection takes the next answer from a queue of
// scripted answers: it reads the request (up to the empty line that ends the
// header block), sends the answer's bytes exactly as given (optionally
// after a delay, in chunks, or with a stall in the middle), then ends the
// connection. Everything a connection received is recorded, so a test can
// check the request bytes. With no answer queued, a connection is closed
// right after its request has been read.
//
// Every wait is bounded, and `stop` (or the destructor) interrupts any delay
// or stall at once and joins the thread.
//
// Thread safety: all public member functions may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quarn::testing {

struct ScriptedAnswer {
  static constexpr std::size_t kNoStall = static_cast<std::size_t>(-1);

  // The bytes sent, exactly as given (status line, headers, body).
  std::string bytes;
  // Read the request before answering, up to the end of its header block
  // or `request_wait_ms`; when false, the request is not read before
  // answering.
  bool read_request = true;
  int request_wait_ms = 2000;
  // Wait this long before sending anything.
  int delay_ms = 0;
  // Send the first `stall_at` bytes, then wait `stall_ms` before the rest.
  std::size_t stall_at = kNoStall;
  int stall_ms = 0;
  // Send in pieces of this many bytes (0: all at once), `chunk_delay_ms`
  // apart.
  std::size_t chunk_size = 0;
  int chunk_delay_ms = 0;
  // true: after the answer, end the sending direction, keep recording what
  // the client sends until it closes (at most `drain_ms`), then close.
  // false: keep the connection open, recording, until the client closes it
  // (at most `hold_ms`).
  bool close_after = true;
  int drain_ms = 1000;
  int hold_ms = 10000;
  // End the connection with a reset instead of an orderly close.
  bool reset = false;
};

class HttpServer {
 public:
  // Listens on 127.0.0.1 at a free port; throws std::runtime_error when it
  // cannot.
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:<port>", a host text with its port.
  std::string host_port() const;

  // Queues the answer for the next connection that has none yet.
  void add_answer(ScriptedAnswer answer);
  // Queues plain bytes: read the request, send them, close.
  void add_answer(std::string bytes);

  // The bytes each connection received, in the order the connections were
  // accepted (a connection being served shows what arrived so far).
  std::vector<std::string> requests() const;
  std::size_t connections() const;
  // True when at least `count` connections were accepted within the limit.
  bool wait_for_connections(std::size_t count, std::chrono::milliseconds limit) const;
  // True when at least `count` connections have been served to their end
  // within the limit.
  bool wait_for_finished(std::size_t count, std::chrono::milliseconds limit) const;

  // Stops accepting and ends the connection being served. Idempotent.
  void stop();

 private:
  void run();
  void serve(int fd, std::size_t index, const ScriptedAnswer& answer);
  // Waits up to `ms` for `events` on `fd` (or only for the stop when fd is
  // -1). Returns the revents, 0 on time-out, -1 when stopping.
  int wait(int fd, short events, int ms) const;
  // Reads what is available into the record of connection `index`; false
  // at end of stream or error.
  bool receive(int fd, std::size_t index);
  bool send_all(int fd, std::string_view bytes);
  bool pause(int ms) const { return wait(-1, 0, ms) == 0; }

  int listen_fd_ = -1;
  int wake_read_ = -1;
  int wake_write_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<ScriptedAnswer> answers_;
  std::vector<std::string> requests_;
  std::size_t finished_ = 0;

  std::thread thread_;
};

// An HTTP answer: the status line, each header line, an empty line, the
// body; lines end in CR LF, the body is sent as given.
std::string http_answer(std::string_view status_line, const std::vector<std::string>& headers,
                        std::string_view body);

}  // namespace quarn::testing
