#include "update/tls_link.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <chrono>
#include <cstring>

namespace quarn {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct CtxFree {
  void operator()(SSL_CTX* p) const noexcept { SSL_CTX_free(p); }
};
struct SslFree {
  void operator()(SSL* p) const noexcept { SSL_free(p); }
};

int remaining_ms(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The host name without a ":port" the host text may carry.
std::string bare_host(const std::string& host) {
  const std::size_t colon = host.find(':');
  return colon == std::string::npos ? host : host.substr(0, colon);
}

std::string openssl_error_text() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "TLS failure";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

struct TlsUpdateLink::State {
  TcpConnPtr conn;
  std::unique_ptr<SSL_CTX, CtxFree> ctx;
  std::unique_ptr<SSL, SslFree> ssl;
  TcpInputBuffer in;
  std::string error;
  bool ended = false;
};

TlsUpdateLink::TlsUpdateLink(Log& log, UpdateLinkLimits limits, std::string ca_file)
    : log_(log), limits_(limits), ca_file_(std::move(ca_file)), state_(std::make_unique<State>()) {
  tcp_new(state_->conn, log);
  state_->conn->set_connect_limit_ms(limits.connect_ms);
  state_->conn->set_read_limit_ms(limits.read_ms);
  state_->conn->set_write_limit_ms(limits.write_ms);
}

TlsUpdateLink::~TlsUpdateLink() {
  close();
  tcp_release(*state_->conn);
  tcp_free(state_->conn);
}

int TlsUpdateLink::read_limit_ms() const {
  return limits_.read_ms != 0 ? limits_.read_ms : TcpConn::kDefaultReadLimitMs;
}

int TlsUpdateLink::write_limit_ms() const {
  return limits_.write_ms != 0 ? limits_.write_ms : TcpConn::kDefaultWriteLimitMs;
}

bool TlsUpdateLink::wait_for(int rc, int limit_ms) {
  State& s = *state_;
  short events = 0;
  switch (SSL_get_error(s.ssl.get(), rc)) {
    case SSL_ERROR_WANT_READ: events = POLLIN; break;
    case SSL_ERROR_WANT_WRITE: events = POLLOUT; break;
    case SSL_ERROR_ZERO_RETURN:
      s.ended = true;
      return false;
    default: {
      const long verify = SSL_get_verify_result(s.ssl.get());
      s.error = verify != X509_V_OK
                    ? std::string("certificate verify failed: ") +
                          X509_verify_cert_error_string(verify)
                    : openssl_error_text();
      s.ended = true;
      return false;
    }
  }
  pollfd p{s.conn->socket(), events, 0};
  if (limit_ms <= 0 || ::poll(&p, 1, limit_ms) <= 0) {
    s.error = "time-out";
    return false;
  }
  return true;
}

int TlsUpdateLink::open(const std::string& host, int port) {
  close();
  State& s = *state_;
  s.error.clear();
  s.ended = false;
  s.in.clear();
  if (!tcp_open(*s.conn, host, port)) {
    s.error = tcp_error(*s.conn);
    return 0;
  }
  s.ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (!s.ctx) {
    s.error = openssl_error_text();
    close();
    return 0;
  }
  SSL_CTX_set_min_proto_version(s.ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(s.ctx.get(), SSL_VERIFY_PEER, nullptr);
  const int trusted = ca_file_.empty()
                          ? SSL_CTX_set_default_verify_paths(s.ctx.get())
                          : SSL_CTX_load_verify_locations(s.ctx.get(), ca_file_.c_str(), nullptr);
  if (trusted != 1) {
    s.error = "cannot load trusted certificates (" + ca_file_ + "): " + openssl_error_text();
    close();
    return 0;
  }
  s.ssl.reset(SSL_new(s.ctx.get()));
  if (!s.ssl || SSL_set_fd(s.ssl.get(), s.conn->socket()) != 1) {
    s.error = openssl_error_text();
    close();
    return 0;
  }
  const std::string name = bare_host(host);
  in6_addr address{};
  const bool is_address = ::inet_pton(AF_INET, name.c_str(), &address) == 1 ||
                          ::inet_pton(AF_INET6, name.c_str(), &address) == 1;
  X509_VERIFY_PARAM* param = SSL_get0_param(s.ssl.get());
  const int named = is_address ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                               : X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
  if (named != 1 || (!is_address && SSL_set_tlsext_host_name(s.ssl.get(), name.c_str()) != 1)) {
    s.error = "bad host name for TLS (" + name + ")";
    close();
    return 0;
  }
  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(limits_.connect_ms != 0 ? limits_.connect_ms
                                                                        : read_limit_ms());
  for (;;) {
    const int rc = SSL_connect(s.ssl.get());
    if (rc == 1) return 1;
    if (!wait_for(rc, remaining_ms(deadline))) {
      close();
      return 0;
    }
  }
}

std::string TlsUpdateLink::error() { return state_->error; }

int TlsUpdateLink::send(const std::string& text) {
  State& s = *state_;
  if (!s.ssl) return 0;
  std::size_t sent = 0;
  const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(write_limit_ms());
  while (sent < text.size()) {
    const int rc = SSL_write(s.ssl.get(), text.data() + sent, static_cast<int>(text.size() - sent));
    if (rc > 0) {
      sent += static_cast<std::size_t>(rc);
    } else if (!wait_for(rc, remaining_ms(deadline))) {
      log_.emsg("do_update - TLS write failed (%s)\n", s.error.c_str());
      return 0;
    }
  }
  return 1;
}

int TlsUpdateLink::read_some(char* data, std::size_t size, int limit_ms) {
  State& s = *state_;
  if (!s.ssl || s.ended) return 0;
  const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    const int rc = SSL_read(s.ssl.get(), data, static_cast<int>(size));
    if (rc > 0) return rc;
    if (!wait_for(rc, remaining_ms(deadline))) return 0;
  }
}

int TlsUpdateLink::readline(std::string& line, std::size_t size) {
  State& s = *state_;
  bool started = false;
  SteadyClock::time_point deadline{};
  for (;;) {
    if (s.in.take_line(line, size)) return 1;
    const int limit = started ? remaining_ms(deadline) : read_limit_ms();
    if (started && limit <= 0) return 0;
    TcpInputBuffer::Room room = s.in.prepare(size + 100);
    if (room.discarded) log_.emsg("No end of line in input buffer\n");
    const int n = read_some(room.data, room.size, limit);
    if (n <= 0) return 0;
    s.in.commit(static_cast<std::size_t>(n));
    if (!started) {
      started = true;
      deadline = SteadyClock::now() + std::chrono::milliseconds(read_limit_ms());
    }
  }
}

int TlsUpdateLink::read(char* data, std::size_t size) {
  State& s = *state_;
  const std::string_view held = s.in.pending();
  if (!held.empty()) {
    const std::size_t n = std::min(size, held.size());
    std::memcpy(data, held.data(), n);
    s.in.consume(n);
    return static_cast<int>(n);
  }
  return read_some(data, size, read_limit_ms());
}

void TlsUpdateLink::close() {
  State& s = *state_;
  if (s.ssl) {
    SSL_shutdown(s.ssl.get());  // best effort: the connection ends either way
    s.ssl.reset();
  }
  s.ctx.reset();
  tcp_close_nice(*s.conn);
}

}  // namespace quarn
