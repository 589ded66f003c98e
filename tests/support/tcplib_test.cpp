// The TCP client against a scripted server on 127.0.0.1: opening, line
// reading, time limits, writing, closing, error texts.
#include "support/tcplib.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/testing/http_server.h"

namespace quarn::testing {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// A port on 127.0.0.1 that refuses connections while the object lives: bound,
// never listening.
class ClosedPort {
 public:
  ClosedPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~ClosedPort() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class TcpLib : public ::testing::Test {
 protected:
  TcpLib() : conn(capture.log) {}

  // Every line until tcp_readline gives 0.
  std::vector<std::string> read_all(std::size_t size = 1000) {
    std::vector<std::string> lines;
    std::string line;
    while (tcp_readline(conn, line, size) == 1) lines.push_back(line);
    return lines;
  }

  LogCapture capture;
  HttpServer server;
  TcpConn conn;
};

TEST(TcpErrorText, CodesReasonsAndErrnoMapping) {
  EXPECT_EQ(tcp_error(nullptr), "Channel structure is NULL");
  EXPECT_EQ(socket_code_text(10061), "Connection refused");
  EXPECT_EQ(socket_code_text(10060), "Timedout");
  EXPECT_EQ(socket_code_text(10035),
            "The socket is marked as non-blocking and the requested operation would block.");
  EXPECT_EQ(socket_code_text(11001), "Socket Unkown error code 11001 ");
  EXPECT_EQ(socket_code_text(0), "Socket Unkown error code 0 ");

  const struct {
    int err;
    int code;
  } cases[] = {
      {0, 0},           {EAGAIN, 10035},        {EWOULDBLOCK, 10035},  {EINPROGRESS, 10036},
      {EALREADY, 10036}, {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},    {ENETUNREACH, 10051},
      {EHOSTUNREACH, 10065}, {EHOSTDOWN, 10064}, {ECONNRESET, 10054},  {ECONNABORTED, 10053},
      {ENOTCONN, 10057}, {ENOTSOCK, 10038},     {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
      {ENAMETOOLONG, 10063}, {EPIPE, 10058},    {ESHUTDOWN, 10058},    {EFAULT, 10014},
      {EINVAL, 10022},   {EACCES, 10013},       {EMSGSIZE, 10040},     {EMFILE, EMFILE},
  };
  for (const auto& c : cases) EXPECT_EQ(socket_code_of_errno(c.err), c.code) << c.err;
}

TEST_F(TcpLib, RefusedConnectionIsLoggedWithMappedCode) {
  ClosedPort closed;
  EXPECT_EQ(tcp_open(conn, "127.0.0.1", closed.port()), 0);
  EXPECT_EQ(conn.socket(), -1);
  EXPECT_EQ(conn.last_error(), 10061);
  EXPECT_EQ(tcp_error(conn), "Connection refused");
  EXPECT_EQ(capture.text(), "Err: Connect failed (127.0.0.1:" + std::to_string(closed.port()) + ")\n");
  EXPECT_EQ(tcp_printf(conn, "GET / HTTP/1.0\r\n\r\n"), 0);  // not open
}

TEST_F(TcpLib, FailedNameLookupAndEmptyHostFailWithoutMessage) {
  // A label longer than 63 characters fails inside the resolver, before any
  // query could leave the machine.
  const std::string bad_name = std::string(70, 'x') + ".invalid";
  EXPECT_EQ(tcp_open(conn, bad_name, server.port()), 0);
  EXPECT_EQ(conn.last_error(), kTcpHostNotFound);
  EXPECT_EQ(tcp_error(conn), "Socket Unkown error code 11001 ");
  EXPECT_EQ(tcp_open(conn, "", server.port()), 0);
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(server.connections(), 0u);
}

TEST_F(TcpLib, HostTextWithPortOverridesThePortArgument) {
  ClosedPort closed;
  const std::string port = std::to_string(server.port());
  const struct {
    std::string host;
    int port;
  } cases[] = {
      {"127.0.0.1:" + port, closed.port()},
      {"LocalHost:" + port, closed.port()},
      {"localhost", server.port()},
      {"127.0.0.1", server.port()},
  };
  std::size_t served = 0;
  for (const auto& c : cases) {
    server.add_answer("HTTP/1.0 200 OK\r\n\r\n");
    ASSERT_EQ(tcp_open(conn, c.host, c.port), 1) << c.host;
    EXPECT_GE(conn.socket(), 0);
    EXPECT_EQ(tcp_printf(conn, "GET /%s HTTP/1.0\r\n\r\n", c.host.c_str()), 1);
    EXPECT_EQ(read_all(), (std::vector<std::string>{"HTTP/1.0 200 OK", ""})) << c.host;
    EXPECT_EQ(conn.socket(), -1);
    ASSERT_TRUE(server.wait_for_finished(++served, milliseconds(5000)));
    EXPECT_EQ(server.requests().back(), "GET /" + c.host + " HTTP/1.0\r\n\r\n");
  }
  EXPECT_EQ(capture.text(), "");
}

TEST_F(TcpLib, LinesEndWithLfOrCrLfInAnyChunking) {
  const std::string answer =
      "HTTP/1.1 200 OK\r\nX-Quarn-Count: 2\n\r\nSET a\r\n\nlone\rcr\r\r\nlast\n";
  const std::vector<std::string> expected = {"HTTP/1.1 200 OK", "X-Quarn-Count: 2", "", "SET a",
                                             "", "lone\rcr\r", "last"};
  for (std::size_t chunk : {0, 1, 3}) {
    ScriptedAnswer scripted;
    scripted.bytes = answer;
    scripted.chunk_size = chunk;
    server.add_answer(scripted);
    ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
    ASSERT_EQ(tcp_printf(conn, "GET / HTTP/1.1\r\n\r\n"), 1);
    EXPECT_EQ(read_all(), expected) << "chunk " << chunk;
    EXPECT_EQ(conn.socket(), -1);
  }
}

TEST_F(TcpLib, LongLinesAreCutOrThrownAway) {
  // Digits that say where they stand, so the delivered piece shows which
  // part of the line survived.
  auto long_line = [](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('0' + i % 10);
    return s;
  };
  const struct {
    std::size_t length;
    std::string delivered;  // first line read with a 1000-byte buffer
    int discards;           // "No end of line in input buffer" lines
  } cases[] = {
      {1500, long_line(1500).substr(0, 999), 0},
      {1997, long_line(1997).substr(0, 999), 0},
      {1998, "", 1},
      {2500, long_line(2500).substr(1998), 1},
      {5000, long_line(5000).substr(3996, 999), 2},
  };
  int discards = 0;
  for (const auto& c : cases) {
    server.add_answer(long_line(c.length) + "\nnext\n");
    ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
    ASSERT_EQ(tcp_printf(conn, "GET / HTTP/1.0\r\n\r\n"), 1);
    EXPECT_EQ(read_all(), (std::vector<std::string>{c.delivered, "next"})) << c.length;
    discards += c.discards;
    EXPECT_EQ(capture.count("Err: No end of line in input buffer\n"), discards) << c.length;
  }
}

TEST_F(TcpLib, ServerClosingEndsTheLinesAndClosesTheRecord) {
  server.add_answer("a\nb\r\nunfinished");
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  ASSERT_EQ(tcp_printf(conn, "GET / HTTP/1.0\r\n\r\n"), 1);
  EXPECT_EQ(read_all(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(conn.socket(), -1);
  std::string line = "kept";
  EXPECT_EQ(tcp_readline(conn, line, 1000), 0);
  EXPECT_EQ(line, "kept");
  EXPECT_EQ(conn.reason(), "socket invalid");

  // A reset instead of an orderly end ends the lines just the same.
  ScriptedAnswer reset;
  reset.bytes = "x\n";
  reset.reset = true;
  server.add_answer(reset);
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  ASSERT_EQ(tcp_printf(conn, "GET / HTTP/1.0\r\n\r\n"), 1);
  const auto lines = read_all();
  EXPECT_LE(lines.size(), 1u);
  EXPECT_EQ(conn.socket(), -1);
}

TEST_F(TcpLib, StalledServerEndsTheReadAfterTheLimit) {
  ScriptedAnswer stall;
  stall.bytes = "line1\nline2\n";
  stall.stall_at = 6;
  stall.stall_ms = 30000;
  server.add_answer(stall);
  conn.set_read_limit_ms(300);
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  ASSERT_EQ(tcp_printf(conn, "GET / HTTP/1.0\r\n\r\n"), 1);
  std::string line;
  ASSERT_EQ(tcp_readline(conn, line, 1000), 1);
  EXPECT_EQ(line, "line1");
  const auto start = Clock::now();
  EXPECT_EQ(tcp_readline(conn, line, 1000), 0);
  EXPECT_GE(ms_since(start), 300);
  EXPECT_LT(ms_since(start), 5000);
  EXPECT_GE(conn.socket(), 0);  // a time-out leaves the connection open
  EXPECT_EQ(conn.reason(), "after 0 seconds");
  EXPECT_EQ(tcp_error(conn), socket_code_text(10035) + " after 0 seconds");
}

TEST_F(TcpLib, LineTimeIsCountedFromItsFirstChunk) {
  // Every byte arrives well within the read limit, but the line as a whole
  // takes far longer than the limit.
  ScriptedAnswer trickle;
  trickle.bytes = std::string(40, 'z') + "\n";
  trickle.chunk_size = 1;
  trickle.chunk_delay_ms = 50;
  server.add_answer(trickle);
  conn.set_read_limit_ms(400);
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  ASSERT_EQ(tcp_printf(conn, "GET / HTTP/1.0\r\n\r\n"), 1);
  std::string line;
  const auto start = Clock::now();
  EXPECT_EQ(tcp_readline(conn, line, 1000), 0);
  EXPECT_GE(ms_since(start), 400);
  EXPECT_LT(ms_since(start), 1900);
  EXPECT_EQ(conn.reason(), "after 0 seconds");
  EXPECT_GE(conn.socket(), 0);
}

TEST_F(TcpLib, WriteToAServerThatDoesNotReadFailsAfterTheLimit) {
  ScriptedAnswer deaf;
  deaf.read_request = false;
  deaf.delay_ms = 30000;
  server.add_answer(deaf);
  conn.set_write_limit_ms(200);
  conn.set_linger_seconds(0);  // do not wait out the bytes nobody reads
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  const std::string block(3999, 'w');
  int result = 1;
  Clock::time_point last_call;
  for (int i = 0; i < 100000 && result == 1; ++i) {
    last_call = Clock::now();
    result = tcp_printf(conn, "%s", block.c_str());
  }
  EXPECT_EQ(result, 0);
  EXPECT_GE(ms_since(last_call), 200);
  EXPECT_EQ(conn.socket(), -1);
  EXPECT_EQ(capture.count("Err: tcp_printf: failed only "), 1);
  EXPECT_EQ(capture.count(" sent " + socket_code_text(10035) + "\n"), 1);
}

TEST_F(TcpLib, PrintfCutsAt3999CharactersAndCountsBytes) {
  ScriptedAnswer listen;
  listen.read_request = false;
  listen.close_after = false;
  server.add_answer(listen);
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  EXPECT_EQ(tcp_printf(conn, "%s", std::string(5000, 'x').c_str()), 1);
  EXPECT_EQ(tcp_printf(conn, "%s", ""), 1);
  EXPECT_EQ(conn.bytes_written(), 3999);
  EXPECT_EQ(tcp_close_nice(conn), 1);
  EXPECT_EQ(conn.socket(), -1);
  ASSERT_TRUE(server.wait_for_finished(1, milliseconds(5000)));
  EXPECT_EQ(server.requests().at(0), std::string(3999, 'x'));
}

TEST_F(TcpLib, RecordIsReusedAfterCloseWithAFreshBuffer) {
  server.add_answer("HTTP/1.1 200 OK\r\n\r\nSET 1\nno line end");
  server.add_answer("HTTP/1.0 200 OK\r\n\r\nrules\n");
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  ASSERT_EQ(tcp_printf(conn, "GET /first HTTP/1.1\r\n\r\n"), 1);
  std::string line;
  ASSERT_EQ(tcp_readline(conn, line, 1000), 1);
  EXPECT_EQ(line, "HTTP/1.1 200 OK");
  EXPECT_EQ(read_all(), (std::vector<std::string>{"", "SET 1"}));

  EXPECT_EQ(tcp_close_nice(conn), 1);
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  ASSERT_EQ(tcp_printf(conn, "GET /second HTTP/1.0\r\n\r\n"), 1);
  EXPECT_EQ(read_all(), (std::vector<std::string>{"HTTP/1.0 200 OK", "", "rules"}));
  ASSERT_TRUE(server.wait_for_finished(2, milliseconds(5000)));
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"GET /first HTTP/1.1\r\n\r\n",
                                                         "GET /second HTTP/1.0\r\n\r\n"}));
  EXPECT_EQ(capture.text(), "");
}

TEST_F(TcpLib, OpeningAnOpenRecordOrFillingAFullPointerIsReported) {
  server.add_answer(ScriptedAnswer{});
  server.add_answer(ScriptedAnswer{});
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  const int old_socket = conn.socket();
  ASSERT_EQ(tcp_open(conn, server.host_port(), 0), 1);
  EXPECT_EQ(capture.text(),
            "Err: tcp: tcp_open called with sk member set to " + std::to_string(old_socket) + "\n");

  TcpConnPtr ptr;
  EXPECT_EQ(tcp_new(ptr, capture.log), 1);
  ASSERT_NE(ptr, nullptr);
  EXPECT_EQ(ptr->socket(), -1);
  EXPECT_EQ(tcp_new(ptr, capture.log), 1);
  EXPECT_EQ(capture.count("Err: tcp_new, not passed null pointer\n"), 1);
  tcp_release(*ptr);
  EXPECT_TRUE(ptr->released());
  EXPECT_EQ(tcp_free(ptr), 1);
  EXPECT_EQ(ptr, nullptr);
  EXPECT_EQ(tcp_free(ptr), 0);
}

TEST(TcpInputBuffer, GrowsOnlyForLargeWishesAndOtherwiseThrowsAway) {
  for (std::size_t wish : {1100u, 2000u}) {
    TcpInputBuffer in;
    auto room = in.prepare(wish);
    ASSERT_EQ(room.size, 1998u);
    std::fill(room.data, room.data + room.size, 'a');
    in.commit(room.size);
    room = in.prepare(wish);
    if (wish >= 2000) {
      EXPECT_FALSE(room.discarded);
      EXPECT_EQ(in.capacity(), 4000u);
      EXPECT_EQ(room.size, 2000u);
      EXPECT_EQ(in.fill(), 1998u);
    } else {
      EXPECT_TRUE(room.discarded);
      EXPECT_EQ(in.capacity(), 2000u);
      EXPECT_EQ(room.size, 1990u);
      EXPECT_EQ(in.fill(), 0u);
    }
  }
}

}  // namespace
}  // namespace quarn::testing
