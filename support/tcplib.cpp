#include "support/tcplib.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "support/text.h"

namespace quarn {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kHostLimit = 200;
constexpr std::size_t kPrintfSize = 4000;
constexpr int kWriteRetrySleepMs = 1;
constexpr int kReadRetrySleepMs = 100;
constexpr int kReadTries = 5;
constexpr int kExceptPasses = 4;

std::int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int seconds_since(Clock::time_point start) { return static_cast<int>(ms_since(start) / 1000); }

void tcp_lib_msleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// poll() that sleeps out its whole limit across signal interruptions; a
// negative limit waits without one. Returns poll's result.
int poll_for(pollfd& p, int limit_ms) {
  const auto start = Clock::now();
  for (;;) {
    int wait = limit_ms;
    if (limit_ms >= 0) {
      auto left = limit_ms - ms_since(start);
      wait = left < 0 ? 0 : static_cast<int>(left);
    }
    p.revents = 0;
    int r = ::poll(&p, 1, wait);
    if (r >= 0 || errno != EINTR) return r;
  }
}

// select() semantics over poll(): error and hang-up count as readable, as
// they do for a select read set; urgent data is the exceptional condition.
bool readable(const pollfd& p) { return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0; }
bool exceptional(const pollfd& p) { return (p.revents & POLLPRI) != 0; }

bool tcp_isip(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (!is_ascii_digit(c) && c != '.') return false;
  }
  return true;
}

struct CodeText {
  int code;
  const char* text;
};

constexpr CodeText kCodeTexts[] = {
    {10093, "A successful WSAStartup must occur before using this API."},
    {10050, "The Windows Sockets implementation has detected that the network subsystem has "
            "failed."},
    {10013, "The requested address is a broadcast address, but the appropriate flag was not "
            "set."},
    {10004, "The (blocking) call was canceled via WSACancelBlockingCall."},
    {10036, "A blocking Windows Sockets operation is in progress."},
    {10014, "The buf argument is not in a valid part of the user address space."},
    {10052, "The connection must be reset because the Windows Sockets implementation dropped "
            "it."},
    {10055, "The Windows Sockets implementation reports a buffer deadlock."},
    {10057, "The socket is not connected."},
    {10038, "The descriptor is not a socket."},
    {10045, "MSG_OOB was specified, but the socket is not of type SOCK_STREAM."},
    {10058, "The socket has been shutdown; it is not possible to sendln on a socket after "
            "shutdown has been invoked with how set to 1 or 2."},
    {10035, "The socket is marked as non-blocking and the requested operation would block."},
    {10040, "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum "
            "supported by the Windows Sockets implementation."},
    {10022, "The socket has not been bound with bind."},
    {10053, "The virtual circuit was aborted due to timeout or other failure."},
    {10054, "The virtual circuit was reset by the remote side."},
    {10059, "Too many refs."},
    {10060, "Timedout"},
    {10061, "Connection refused"},
    {10039, "DestAddrReq"},
    {10048, "Address in use"},
    {10049, "Address not avail"},
    {10051, "Network Unreachable"},
    {10063, "Name too long"},
    {10064, "Host down"},
    {10065, "Host Unreachable"},
    {10066, "Not Empty"},
};

}  // namespace

int socket_code_of_errno(int err) {
  switch (err) {
    case EAGAIN: return 10035;  // EWOULDBLOCK is the same value here
    case EINPROGRESS:
    case EALREADY: return 10036;
    case ECONNREFUSED: return 10061;
    case ETIMEDOUT: return 10060;
    case ENETUNREACH: return 10051;
    case EHOSTUNREACH: return 10065;
    case EHOSTDOWN: return 10064;
    case ECONNRESET: return 10054;
    case ECONNABORTED: return 10053;
    case ENOTCONN: return 10057;
    case ENOTSOCK:
    case EBADF: return 10038;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENAMETOOLONG: return 10063;
    case EPIPE:
    case ESHUTDOWN: return 10058;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EACCES: return 10013;
    case EMSGSIZE: return 10040;
    case ENETDOWN: return 10050;
    case ENETRESET: return 10052;
    case ENOBUFS: return 10055;
    case EDESTADDRREQ: return 10039;
    default: return err;
  }
}

std::string socket_code_text(int code) {
  for (const auto& entry : kCodeTexts) {
    if (entry.code == code) return entry.text;
  }
  return lprintf(kLineSize, "Socket Unkown error code %d ", code);
}

// ---------------------------------------------------------------------------
// Input buffer

std::string_view TcpInputBuffer::pending() const {
  if (buf_.empty()) return {};
  return std::string_view(buf_.data() + consumed_, fill_ - consumed_);
}

bool TcpInputBuffer::take_line(std::string& line, std::size_t size) {
  std::string_view held = pending();
  const std::size_t nl = held.find('\n');
  if (nl == std::string_view::npos) return false;
  std::string_view text = held.substr(0, nl);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  text = cstr_view(text);
  line.assign(ncpy(text, size == 0 ? 0 : size - 1));
  consumed_ += nl + 1;
  return true;
}

TcpInputBuffer::Room TcpInputBuffer::prepare(std::size_t wish) {
  if (buf_.empty()) buf_.assign(kInitialCapacity, '\0');
  if (consumed_ > 0) {
    std::memmove(buf_.data(), buf_.data() + consumed_, fill_ - consumed_ + 1);
    fill_ -= consumed_;
    consumed_ = 0;
  }
  Room room;
  auto free_space = [&] {
    return static_cast<std::ptrdiff_t>(buf_.size()) - static_cast<std::ptrdiff_t>(fill_) - 2;
  };
  std::ptrdiff_t space = free_space();
  if (space <= 0 && wish >= buf_.size()) {
    buf_.resize(buf_.size() * 2, '\0');  // tcp_grow_inbf
    space = free_space();
  }
  if (space < 1) {
    room.discarded = true;
    fill_ = 0;
    consumed_ = 0;
    buf_[0] = '\0';
    space = static_cast<std::ptrdiff_t>(buf_.size()) - 10;
  }
  room.data = buf_.data() + fill_;
  room.size = static_cast<std::size_t>(space);
  return room;
}

void TcpInputBuffer::commit(std::size_t n) {
  fill_ += n;
  buf_[fill_] = '\0';
}

void TcpInputBuffer::consume(std::size_t n) {
  consumed_ += std::min(n, fill_ - consumed_);
}

void TcpInputBuffer::clear() {
  fill_ = 0;
  consumed_ = 0;
  if (!buf_.empty()) buf_[0] = '\0';
}

// ---------------------------------------------------------------------------
// Connection record

TcpConn::TcpConn(Log& log) : log_(log) {}

TcpConn::~TcpConn() { close_nice(); }

void TcpConn::debug(const char* fmt, ...) {
  if (!debug_) return;
  std::va_list args;
  va_start(args, fmt);
  log_.vlog(LogLevel::kDebug, fmt, args);
  va_end(args);
}

void TcpConn::note_errno(int err) { last_error_ = socket_code_of_errno(err); }

// The socket's pending error (SO_ERROR), 0 when there is none.
int TcpConn::pending_error() {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(sk_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  return err;
}

long TcpConn::recv_once(char* buf, std::size_t size) {
  ssize_t n;
  do {
    n = ::recv(sk_, buf, size, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  note_errno(n < 0 ? errno : 0);
  return static_cast<long>(n);
}

// A zero-time look at the socket: gone only when an exceptional condition
// comes alone with a real error, in which case the socket is closed.
bool TcpConn::check_open() {
  pollfd p{sk_, POLLIN | POLLPRI, 0};
  if (poll_for(p, 0) <= 0) return true;
  if (readable(p) || !exceptional(p)) return true;
  if (int err = pending_error(); err != 0) note_errno(err);
  if (wouldblock()) return true;
  log_.imsg("tcp_check_open got except event on socket (%s)\n", error_text().c_str());
  close_nice();
  return false;
}

bool TcpConn::waitfor(int limit_ms) {
  for (int pass = 1;; ++pass) {
    pollfd p{sk_, POLLIN | POLLPRI, 0};
    if (poll_for(p, limit_ms) <= 0) return false;
    if (readable(p) || !exceptional(p)) return true;
    int err = pending_error();
    if (err != 0 || pass >= kExceptPasses) return true;
    log_.emsg("tcp: got except event with error value zero, so trying select again sk=%d\n", sk_);
  }
}

int TcpConn::read_timed_raw(char* buf, std::size_t size, int limit_ms) {
  if (sk_ < 0) {
    reason_ = "socket invalid";
    return 0;
  }
  const auto start = Clock::now();
  long n = recv_once(buf, size);
  if (n > 0) return static_cast<int>(n);
  if (!check_open()) {
    reason_ = "open check";
    close_nice();
    return 0;
  }
  if (waitfor(limit_ms)) {
    for (int tries = 0; tries < kReadTries; ++tries) {
      if (!check_open()) {
        reason_ = "open check2";
        return 0;
      }
      n = recv_once(buf, size);
      if (n > 0) return static_cast<int>(n);
      if (n < 0 && wouldblock()) {
        tcp_lib_msleep(kReadRetrySleepMs);
        continue;
      }
      close_nice();  // an orderly end, or an error
      return 0;
    }
  }
  reason_ = lprintf(64, "after %d seconds", seconds_since(start));
  return -2;
}

int TcpConn::readbf(int limit_ms, std::size_t wish) {
  TcpInputBuffer::Room room = in_.prepare(wish);
  if (room.discarded) log_.emsg("No end of line in input buffer\n");
  int n = read_timed_raw(room.data, room.size, limit_ms);
  if (n < 1) return 0;
  in_.commit(static_cast<std::size_t>(n));
  return 1;
}

bool TcpConn::wait_write(int limit_ms) {
  pollfd p{sk_, POLLOUT, 0};
  if (poll_for(p, limit_ms) <= 0) return false;  // last error still says "would block"
  if (int err = pending_error(); err != 0) {
    note_errno(err);
    return false;
  }
  return true;
}

std::size_t TcpConn::write_timed(const char* data, std::size_t len, int limit_ms) {
  std::size_t sent = 0;
  auto last_progress = Clock::now();
  while (sent < len && sk_ >= 0) {
    ssize_t n = ::send(sk_, data + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      note_errno(0);
      sent += static_cast<std::size_t>(n);
      last_progress = Clock::now();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    note_errno(n < 0 ? errno : 0);
    if (wouldblock()) {
      tcp_lib_msleep(kWriteRetrySleepMs);
      if (wait_write(limit_ms)) continue;
      if (wouldblock()) break;  // the limit passed: stop, the connection stays open
      log_.imsg("Closing as error on tcp_wait_write %d\n", last_error_);
      close_nice();
      break;
    }
    log_.imsg("Closing as error on socket_write %d\n", last_error_);
    close_nice();
    break;
  }
  if (sent == 0) {
    log_.emsg("Unable to send any data upto=0 len=%d, waited %d seconds\n", static_cast<int>(len),
              seconds_since(last_progress));
  }
  return sent;
}

void TcpConn::set_linger() {
  linger lg{};
  lg.l_onoff = 1;
  lg.l_linger = linger_seconds_;
  if (::setsockopt(sk_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) == 0) return;
  note_errno(errno);
  std::string text = lprintf(kLineSize, "Unable to set socket to linger %s\n",
                             error_text().c_str());
  log_.emsg("%s", text.c_str());
  std::fputs(text.c_str(), stderr);
}

// Connects the non-blocking socket `sk` and waits for the outcome under the
// connect limit. On failure the record's last error says why.
bool TcpConn::connect_timed(int sk, const void* addr, unsigned len) {
  if (::connect(sk, static_cast<const sockaddr*>(addr), len) == 0) {
    last_error_ = 0;
    return true;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    note_errno(errno);
    return false;
  }
  pollfd p{sk, POLLOUT, 0};
  int r = poll_for(p, connect_limit_ms_ > 0 ? connect_limit_ms_ : -1);
  if (r == 0) {
    last_error_ = kTcpTimedOut;
    return false;
  }
  if (r < 0) {
    note_errno(errno);
    return false;
  }
  int err = 0;
  socklen_t err_len = sizeof err;
  if (::getsockopt(sk, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0) err = errno;
  note_errno(err);
  return err == 0;
}

int TcpConn::open_worker(std::string_view host, int port, std::string_view local_address) {
  if (host.empty()) return -1;
  std::string name = ascii_lowered(ncpy(host, kHostLimit));
  if (auto colon = name.find(':'); colon != std::string::npos) {
    port = atoi32(std::string_view(name).substr(colon + 1));
    name.resize(colon);
  }

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  bool address_ok = true;
  if (tcp_isip(name)) {
    address_ok = ::inet_aton(name.c_str(), &addr.sin_addr) != 0;
  } else {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
      last_error_ = kTcpHostNotFound;
      return -1;
    }
    last_error_ = 0;
    addr.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
  }

  int sk = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sk < 0) {
    note_errno(errno);
    log_.emsg("Can't dupsocket connect to {%s} \n", name.c_str());
    return -1;
  }

  if (!local_address.empty() || local_port_ != 0) {
    std::string local(local_address);
    debug("Binding outgoing connection to port %s:%d\n", local.c_str(), local_port_);
    sockaddr_in bind_addr{};
    bind_addr.sin_family = AF_INET;
    bind_addr.sin_port = htons(static_cast<std::uint16_t>(local_port_));
    bind_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!local.empty() && ::inet_aton(local.c_str(), &bind_addr.sin_addr) == 0) {
      bind_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    if (::bind(sk, reinterpret_cast<const sockaddr*>(&bind_addr), sizeof bind_addr) != 0) {
      note_errno(errno);
      std::string why = error_text();
      log_.emsg("LCL Bind failed - %.200s - will bind to free port instead\n", why.c_str());
    }
  }

  bool connected = false;
  if (address_ok) {
    connected = connect_timed(sk, &addr, sizeof addr);
  } else {
    last_error_ = kTcpAddressNotAvailable;  // not a dotted address anything can reach
  }
  if (!connected) {
    std::string caller_host(host);
    log_.emsg("Connect failed (%s:%d)\n", caller_host.c_str(), port);
    if (::close(sk) != 0) log_.emsg("socket_close_connect failed\n");
    return -1;
  }
  return sk;
}

// ---------------------------------------------------------------------------
// Interface

int tcp_new(TcpConnPtr& conn, Log& log) {
  if (conn) {
    log.emsg("tcp_new, not passed null pointer\n");
    std::fflush(nullptr);
  }
  conn = std::make_unique<TcpConn>(log);
  return 1;
}

int TcpConn::open(std::string_view host, int port, std::string_view local_address) {
  if (sk_ >= 0) {
    log_.emsg("tcp: tcp_open called with sk member set to %d\n", sk_);
    ::close(sk_);  // a socket nobody can reach any more would only leak
    sk_ = -1;
  }
  in_.clear();  // bytes of an earlier connection are no part of this one
  sk_ = open_worker(host, port, local_address);
  return sk_ >= 0 ? 1 : 0;
}

int TcpConn::vprintf(const char* fmt, std::va_list args) {
  if (sk_ < 0) return 0;
  std::string text;
  vlprintf(text, kPrintfSize, fmt, args);
  if (text.empty()) return 1;
  const int limit = write_limit_ms_ != 0 ? write_limit_ms_ : TcpConn::kDefaultWriteLimitMs;
  const std::size_t sent = write_timed(text.data(), text.size(), limit);
  bytes_written_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes_written_) +
                                             static_cast<std::uint32_t>(sent));
  if (sent == text.size()) {
    debug("tcp_printf --> %.90s", text.c_str());
    return 1;
  }
  log_.emsg("tcp_printf: failed only %d sent %s\n", static_cast<int>(sent),
            error_text().c_str());
  close_nice();
  return 0;
}

int tcp_printf(TcpConn& conn, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  int result = conn.vprintf(fmt, args);
  va_end(args);
  return result;
}

int TcpConn::read_line(std::string& line, std::size_t size) {
  const int limit = read_limit_ms_ != 0 ? read_limit_ms_ : TcpConn::kDefaultReadLimitMs;
  bool started = false;
  Clock::time_point first_chunk;
  for (;;) {
    if (in_.take_line(line, size)) return 1;
    if (!readbf(limit, size + 100)) return 0;
    if (!started) {
      started = true;
      first_chunk = Clock::now();
    }
    if (ms_since(first_chunk) > limit) {
      reason_ = lprintf(64, "after %d seconds", seconds_since(first_chunk));
      return 0;
    }
  }
}

int TcpConn::read(char* data, std::size_t size) {
  size = std::min<std::size_t>(size, INT_MAX);
  if (size == 0) return 0;
  if (const std::string_view held = in_.pending(); !held.empty()) {
    const std::size_t n = std::min(size, held.size());
    std::memcpy(data, held.data(), n);
    in_.consume(n);
    return static_cast<int>(n);
  }
  const int limit = read_limit_ms_ != 0 ? read_limit_ms_ : TcpConn::kDefaultReadLimitMs;
  const int n = read_timed_raw(data, size, limit);
  return n > 0 ? n : 0;
}

std::string TcpConn::error_text() const {
  std::string text = socket_code_text(last_error_);
  if (!reason_.empty()) {
    text += ' ';
    text += reason_;
  }
  return text;
}

int TcpConn::close_nice() {
  if (sk_ < 0) return 1;
  ::shutdown(sk_, SHUT_WR);
  set_linger();
  if (::close(sk_) != 0) {
    // The descriptor is released either way; closing it again could close
    // a file another thread has just opened.
    note_errno(errno);
    log_.emsg("socket_close: Socket close failed will retry\n");
  }
  sk_ = -1;
  return 1;
}


int tcp_open(TcpConn& conn, std::string_view host, int port, std::string_view local_address) {
  return conn.open(host, port, local_address);
}

int tcp_readline(TcpConn& conn, std::string& line, std::size_t size) {
  return conn.read_line(line, size);
}

std::string tcp_error(const TcpConn* conn) {
  return conn == nullptr ? "Channel structure is NULL" : conn->error_text();
}

int tcp_close_nice(TcpConn& conn) { return conn.close_nice(); }

void tcp_release(TcpConn& conn) { conn.release(); }

int tcp_free(TcpConnPtr& conn) {
  if (!conn) return 0;
  tcp_close_nice(*conn);
  conn.reset();
  return 1;
}

}  // namespace quarn
