// The TCP client of the update run: one connection record, formatted writes,
// line reads, readable error texts.
//
// The update run opens a connection to the update server, writes one HTTP
// request and reads the answer line by line until the server closes the
// connection. Nothing here ever blocks without a limit: every read and write
// is a non-blocking call followed, when it would block, by a `poll` under
// the record's time limit, and every failure leaves a Windows Sockets error
// code (the codes the log has always shown; `errno` values are mapped onto
// them) and a short reason text in the record, from which `tcp_error` builds
// the message.
//
// Line reading. Received bytes collect in the record's input buffer (2000
// bytes). `tcp_readline` hands out one line per call, without its LF and
// without a CR directly before the LF, cut to the caller's size - 1
// characters (the rest of a longer line is lost) and at a NUL byte. When
// 1998 bytes are held without an end of line, they are thrown away with the
// error line "No end of line in input buffer\n" and the rest of that line
// arrives as a line of its own. A line must complete within the read limit
// counted from its first chunk.
//
// Ownership: the caller owns a `TcpConn` (usually through `tcp_new` /
// `tcp_free`); the record owns its socket and closes it when destroyed. The
// record logs through the `Log` given at creation: error lines with `emsg`,
// the few information lines with `imsg`, debug lines (off by default) with
// `dmsg`; the `Log` must outlive the record. Sockets are created
// close-on-exec, so child processes never inherit them, and writes never
// raise SIGPIPE.
//
// Threads: a record is used by one thread at a time; records are
// independent of each other.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/log.h"

namespace quarn {

// Windows Sockets codes that the library's logic tests for.
inline constexpr int kTcpWouldBlock = 10035;
inline constexpr int kTcpInProgress = 10036;
inline constexpr int kTcpTimedOut = 10060;
inline constexpr int kTcpAddressNotAvailable = 10049;
// A failed name lookup (outside the text table, so it reads "Socket Unkown
// error code 11001 ").
inline constexpr int kTcpHostNotFound = 11001;

// The Windows Sockets code for an `errno` value; values without an
// equivalent are passed through unchanged (0 stays 0).
int socket_code_of_errno(int err);

// The text for a Windows Sockets code: the table text, or "Socket Unkown
// error code %d " for codes outside it.
std::string socket_code_text(int code);

// The input buffer of a connection: bytes received and not yet handed out
// as lines. Pure bookkeeping, no I/O, so it can be tested and fuzzed alone.
//
// Layout: `capacity` bytes; the first `consumed` of the `fill` bytes held
// were already handed out; byte `fill` is always a NUL, so at most
// capacity - 2 bytes are ever held.
class TcpInputBuffer {
 public:
  static constexpr std::size_t kInitialCapacity = 2000;

  // A place to receive into.
  struct Room {
    char* data = nullptr;
    std::size_t size = 0;
    // True when the buffer was full without an end of line and everything
    // it held was thrown away to make this room.
    bool discarded = false;
  };

  // Takes the next complete line: at most size - 1 characters of it,
  // without its LF and a CR directly before the LF, cut at a NUL byte.
  // False (and `line` untouched) when no LF is held.
  bool take_line(std::string& line, std::size_t size);

  // Makes room for a read of about `wish` bytes: moves the unconsumed bytes
  // to the front, grows the buffer (doubling) only when it is full and the
  // wish is at least its capacity, and throws everything away when no room
  // is left, after which capacity - 10 bytes may be read.
  Room prepare(std::size_t wish);

  // Adds `n` bytes (at most the room's size) written into the last room.
  void commit(std::size_t n);

  // Hands out the first `n` bytes held (at most all of them) as raw bytes.
  void consume(std::size_t n);

  // Forgets everything held (a new connection starts empty).
  void clear();

  std::size_t capacity() const { return buf_.size(); }
  std::size_t fill() const { return fill_; }
  std::size_t consumed() const { return consumed_; }
  // The bytes held and not yet handed out.
  std::string_view pending() const;

 private:
  std::vector<char> buf_;
  std::size_t consumed_ = 0;
  std::size_t fill_ = 0;
};

class TcpConn;
using TcpConnPtr = std::unique_ptr<TcpConn>;

// One connection of the update client. Created unconnected; opened by
// `tcp_open`, read and written, closed by the library itself (after a write
// failure, an end of stream or an exceptional condition), by
// `tcp_close_nice`, `tcp_free` or its destructor. It may be opened again
// after it was closed.
class TcpConn {
 public:
  // Defaults of the time limits (a limit of 0 selects them).
  static constexpr int kDefaultWriteLimitMs = 600000;
  static constexpr int kDefaultReadLimitMs = 180000;
  static constexpr int kDefaultLingerSeconds = 10;

  explicit TcpConn(Log& log);
  ~TcpConn();
  TcpConn(const TcpConn&) = delete;
  TcpConn& operator=(const TcpConn&) = delete;

  // The socket, -1 when not open.
  int socket() const { return sk_; }
  bool is_open() const { return sk_ >= 0; }
  // Windows Sockets code of the last socket call (0 after a success).
  int last_error() const { return last_error_; }
  // The last read failure's reason ("socket invalid", "open check",
  // "open check2", "after %d seconds"); never cleared.
  const std::string& reason() const { return reason_; }
  bool released() const { return released_; }
  std::int32_t bytes_written() const { return bytes_written_; }
  const TcpInputBuffer& input() const { return in_; }

  // Most a write waits for the socket to take more bytes (per stall);
  // 0 = 600000 ms.
  void set_write_limit_ms(int ms) { write_limit_ms_ = ms; }
  // Most a read waits for bytes, and most a line may take from its first
  // chunk; 0 = 180000 ms.
  void set_read_limit_ms(int ms) { read_limit_ms_ = ms; }
  // Most `tcp_open` waits for the connection to be accepted; 0 = as long as
  // the system keeps trying (its own connection time-out).
  void set_connect_limit_ms(int ms) { connect_limit_ms_ = ms; }
  // How long closing waits for unsent bytes to leave (10 s).
  void set_linger_seconds(int seconds) { linger_seconds_ = seconds; }
  // Local port to bind outgoing connections to (0 = none).
  void set_local_port(int port) { local_port_ = port; }
  // Sends the library's debug lines to `dmsg` (off: they are dropped).
  void set_debug(bool on) { debug_ = on; }

  // The operations behind the tcp_ entry points below, with the same
  // results and log texts.
  int open(std::string_view host, int port, std::string_view local_address = {});
  int vprintf(const char* fmt, std::va_list args) __attribute__((format(printf, 2, 0)));
  int read_line(std::string& line, std::size_t size);
  // Delivers raw bytes into `data` (at most `size`): first those received
  // and not yet handed out as lines, else what one read within the read
  // limit brings. The count delivered; 0 when none can be (the connection
  // ended, an error, or the read limit passed). Lets a caller decode a body
  // whose framing is not lines (a chunked HTTP body) after reading its
  // header lines with `tcp_readline`.
  int read(char* data, std::size_t size);
  std::string error_text() const;
  int close_nice();
  void release() { released_ = true; }

 private:

  int open_worker(std::string_view host, int port, std::string_view local_address);
  bool connect_timed(int sk, const void* addr, unsigned len);
  std::size_t write_timed(const char* data, std::size_t len, int limit_ms);
  bool wait_write(int limit_ms);
  int readbf(int limit_ms, std::size_t wish);
  int read_timed_raw(char* buf, std::size_t size, int limit_ms);
  long recv_once(char* buf, std::size_t size);
  bool waitfor(int limit_ms);
  bool check_open();
  void set_linger();
  int pending_error();
  void note_errno(int err);
  bool wouldblock() const { return last_error_ == kTcpWouldBlock; }
  void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  Log& log_;
  int sk_ = -1;
  TcpInputBuffer in_;
  bool released_ = false;
  int last_error_ = 0;
  int local_port_ = 0;
  int write_limit_ms_ = 0;
  int read_limit_ms_ = 0;
  int connect_limit_ms_ = 0;
  int linger_seconds_ = kDefaultLingerSeconds;
  bool debug_ = false;
  std::string reason_;
  std::int32_t bytes_written_ = 0;
};

// Stores a new unconnected record in `conn`. A record already there is
// reported ("tcp_new, not passed null pointer\n") and replaced (closed).
// Returns 1.
int tcp_new(TcpConnPtr& conn, Log& log);

// Connects to `host` at `port`. The host text (at most 200 characters,
// lower-cased) may carry ":port", which replaces `port`; digits and dots are
// a dotted address, anything else is looked up by name (IPv4). With a local
// address (dotted) or a local port the socket is bound to them first. 1 when
// connected, 0 otherwise (logged; `tcp_error` tells why). A record that is
// still open is reported ("tcp: tcp_open called with sk member set to %d\n")
// and its old socket closed first.
int tcp_open(TcpConn& conn, std::string_view host, int port, std::string_view local_address = {});

// Formats like printf (at most 3999 characters) and writes it all within the
// write limit. 1 on success (and for an empty text); 0 when the record is
// not open or not everything could be written, in which case the failure is
// logged and the connection closed.
int tcp_printf(TcpConn& conn, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Delivers the next line into `line` (at most size - 1 characters). 1 when a
// line was delivered; 0 when none can be: the connection ended (then the
// record is closed), an error, or the read limit passed.
int tcp_readline(TcpConn& conn, std::string& line, std::size_t size);

// A message for the record's last error: the code's text, then a blank and
// the reason text when there is one. A null record gives "Channel structure
// is NULL".
std::string tcp_error(const TcpConn* conn);
inline std::string tcp_error(const TcpConn& conn) { return tcp_error(&conn); }

// Closes the connection: shuts down the sending direction, lingers up to the
// linger time for unsent bytes, closes. Nothing to do when not open.
// Returns 1.
int tcp_close_nice(TcpConn& conn);

// Sets the released mark.
void tcp_release(TcpConn& conn);

// Closes and frees the record and empties `conn`. 1, or 0 when `conn` was
// already empty.
int tcp_free(TcpConnPtr& conn);

}  // namespace quarn
