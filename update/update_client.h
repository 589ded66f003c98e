// The update run: one exchange with the update server that brings the
// signature database, its file and the rules file up to date.
//
// Protocol: HTTP over TCP, one GET per connection, each answer read line by
// line until the server closes the connection (or a chunked body ends).
// With HTTP_TLS true the same exchange runs over TLS with the server's
// certificate checked (update/tls_link.h); plain HTTP is the default.
//
//   Database request (from=1 while the update position is 0):
//
//     GET <QUARN_CGI>?cmd=update2&from=<position>&email=<QUARN_EMAIL>&password=<QUARN_PASS> HTTP/1.1\r\n
//     Host: <HTTP_HOST>:<HTTP_PORT>\r\n
//     Connection: close\r\n
//     \r\n
//
//   Its answer: a status line whose text after the first blank reads (as
//   atoi reads it) as 200; header lines up to an empty line, of which these
//   count (names matched ignoring case, each with its colon and one blank;
//   values read as numbers) and all others are ignored:
//
//     x-quarn-error: <reason>      refusal, the run fails
//     x-quarn-count: <lines>       number of body lines sent
//     x-quarn-filter: <version>    rules file on offer (a time; 0 = none)
//     x-quarn-update: <minutes>    update interval to use from now on
//     Transfer-Encoding: chunked   the body is de-chunked before its lines
//                                  are read
//
//   then the body: update-command lines (update/update_commands.h).
//
//   Rules-file request, when the offered version is not 0, differs from the
//   filter time and FILTER_UPGRADE is true:
//
//     GET <QUARN_CGI>?cmd=filter2&email=<QUARN_EMAIL>&password=<QUARN_PASS> HTTP/1.0\r\n
//     Host: <HTTP_HOST>:<HTTP_PORT>\r\n
//     Connection: close\r\n
//     \r\n
//
//   Its answer: header lines up to an empty line (the status line is read
//   as one of them and otherwise ignored), "x-quarn-error: " refusing,
//   "x-quarn-filter: " marking the answer as a rules file; then the rules
//   file itself.
//
//   A request is at most 998 characters. The account values (QUARN_EMAIL,
//   QUARN_PASS) are percent-encoded where a raw byte would break the
//   request, and only there: control characters, blank, '"', '#', '%',
//   '&', '+', '=' and bytes of 0x80 and above become "%XX" (upper-case
//   hex); a value without such bytes is sent exactly as configured.
//   Answer lines are read as the TCP library's line reader delivers them
//   (support/tcplib.h): at most 999 characters, the rest of a longer line
//   lost.
//
// Files (working directory):
//   quarncrc.db   each body line that applied (result not 0) is appended
//                 exactly as it came, with a newline (the server ends SET
//                 lines with a separator, so the line end never joins the
//                 signature field when the file is read back). Before the
//                 first append a last line that a crash or a full disk
//                 cut is ended, so no new line is glued to it. Rewritten
//                 at the end of an accepted run (update/db_file.h).
//   filter.sum    the hashes of downloaded rules files (filter/rules_origin.h),
//                 written before one is compiled: spawn() in it then
//                 starts only the programs SPAWN_ALLOW names.
//   filter.new    the downloaded rules file, one line and a newline per
//                 body line; flushed to disk, compiled under the filter
//                 mutex and, once in service, renamed over filter.dat in
//                 one step (no moment without a rules file on disk).
//
// Update position: after an accepted download it becomes the larger of the
// old position and the largest timestamp applied; it never moves backwards,
// and a download that applies no line keeps it.
//
// Notification hook (`quarncrc_setcallback`, none by default; the engine
// installs none): kind 2 with the new interval when "x-quarn-update: " is
// read, kind 1 with the new filter time once a rules file is in service,
// kind 0 with the update position after a successful run.
//
// Ownership and threads: the engine owns one `UpdateClient`, holding
// references to its log, settings, update commands, database file, update
// state and filter service. `do_update` runs on the starting thread (from
// `open_db`, before the command loop) or on the update thread, never on two
// threads at once; it takes the database mutex per applied line (through
// `do_update_command`) and the filter mutex only to install a rules file.
// No mutex is held while the network is read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "filter/filter_service.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/tcplib.h"
#include "support/text.h"
#include "update/db_file.h"
#include "update/update_commands.h"
#include "update/update_state.h"

namespace quarn {

// Percent-encodes the bytes of an account value that would break the
// request (see above); everything else is copied unchanged.
std::string percent_encode_value(std::string_view value);

// One connection to the update server as the update run uses it. The
// engine's is a `TcpConn` (`TcpUpdateLink`); the fuzzer gives the run
// others. Used by one thread at a time.
class UpdateLink {
 public:
  virtual ~UpdateLink() = default;
  // Connects, closing any earlier connection first; 1 on success.
  virtual int open(const std::string& host, int port) = 0;
  // A readable text for the last failure.
  virtual std::string error() = 0;
  // Sends the text; 1 when all of it went out.
  virtual int send(const std::string& text) = 0;
  // The next line, as `tcp_readline` delivers it; 0 when none can be.
  virtual int readline(std::string& line, std::size_t size) = 0;
  // Raw bytes, as `TcpConn::read` delivers them; 0 when none can be.
  virtual int read(char* data, std::size_t size) = 0;
  virtual void close() = 0;
  // Most a line may take from its first chunk, in milliseconds.
  virtual int read_limit_ms() const = 0;
};

// Time limits of a connection; 0 selects the TCP library's default (reads
// 180 s, writes 600 s, connecting as long as the system tries).
struct UpdateLinkLimits {
  int connect_ms = 0;
  int read_ms = 0;
  int write_ms = 0;
};

// The update run's connection record over TCP: created with `tcp_new`,
// released and freed (closing any open connection) when destroyed.
class TcpUpdateLink final : public UpdateLink {
 public:
  TcpUpdateLink(Log& log, UpdateLinkLimits limits);
  ~TcpUpdateLink() override;
  int open(const std::string& host, int port) override;
  std::string error() override;
  int send(const std::string& text) override;
  int readline(std::string& line, std::size_t size) override;
  int read(char* data, std::size_t size) override;
  void close() override;
  int read_limit_ms() const override;

 private:
  TcpConnPtr conn_;
  const UpdateLinkLimits limits_;
};

// Decodes a body sent with "Transfer-Encoding: chunked":
//
//   <hex size>[;extensions]\r\n  <size bytes>\r\n  ...  0\r\n  [trailer lines]\r\n
//
// A CR before an LF is optional everywhere. A size line without a leading
// hex digit (blanks before it are skipped), a size above 2^31 - 1, or
// anything but a line end after a chunk's data breaks the coding: the body
// ends there, as it does after the trailer block. Pure: no I/O.
class ChunkDecoder {
 public:
  // Decodes `in`, appending the data bytes to `out`. Returns how many bytes
  // of `in` were taken (fewer only when the body ended inside `in`).
  std::size_t feed(std::string_view in, std::string& out);
  // True once the body has ended (last chunk and trailers, or broken).
  bool ended() const { return state_ == State::kEnded; }
  bool broken() const { return broken_; }

 private:
  enum class State { kSize, kData, kDataEnd, kTrailer, kEnded };
  void size_char(char c);
  void end_size_line();
  void end(bool broken);

  State state_ = State::kSize;
  bool broken_ = false;
  bool size_digits_ = false;  // a hex digit was read on this size line
  bool size_done_ = false;    // the size's digits have ended
  std::int64_t size_ = 0;
  std::int64_t left_ = 0;          // data bytes left in this chunk
  std::size_t trailer_chars_ = 0;  // characters on this trailer line (CR not counted)
};

// The lines of one answer: straight from the connection, or, once a header
// line said "Transfer-Encoding: chunked", from the de-chunked body. Lines
// follow the line reader's rules either way: cut at size - 1 characters
// (the rest of that line lost), no LF and no CR before it, cut at a NUL;
// 1998 bytes without an end of line are thrown away with "No end of line
// in input buffer\n"; a line must complete within the read limit counted
// from its first chunk; a last line without an end is lost.
class AnswerReader {
 public:
  AnswerReader(UpdateLink& link, Log& log) : link_(link), log_(log) {}
  int readline(std::string& line, std::size_t size = kLineSize);
  // Looks at a header line; a Transfer-Encoding header naming "chunked"
  // makes the body chunked.
  void note_header(std::string_view line);
  // The empty line ending the header block was read: the body follows.
  void begin_body() { chunked_ = chunked_body_; }
  bool chunked() const { return chunked_; }

 private:
  int readline_chunked(std::string& line, std::size_t size);

  UpdateLink& link_;
  Log& log_;
  bool chunked_body_ = false;
  bool chunked_ = false;
  ChunkDecoder decoder_;
  TcpInputBuffer lines_;     // de-chunked bytes not yet handed out as lines
  std::string decoded_;      // de-chunked bytes not yet in `lines_`
  std::size_t decoded_at_ = 0;
};

// The bounds of one update run, read from the settings when it starts:
// bytes of the database answer (DOWNLOAD_MAX, megabytes), bytes of the
// rules-file answer (FILTER_FILE_MAX, megabytes) and the duration of the
// whole run (UPDATE_TIME_MAX, seconds). A bound that is hit is logged and
// ends the run as failed; the files on disk stay whole.
class RunBounds {
 public:
  enum class Answer { kDatabase, kRules };
  explicit RunBounds(Settings& settings);
  // Counts one answer line of `line_size` bytes (and its line end) into
  // `bytes`; false (logged) when that answer or the run went past its bound.
  bool within(Log& log, std::int64_t& bytes, std::size_t line_size, Answer answer) const;

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline_;
  std::int32_t seconds_;
  std::int32_t download_max_mb_;
  std::int32_t rules_max_mb_;
};

// (kind, value): 2 = new update interval, 1 = new filter time, 0 = update
// position after a successful run.
using UpdateHook = std::function<void(int kind, std::int32_t value)>;
using UpdateLinkFactory = std::function<std::unique_ptr<UpdateLink>()>;

struct UpdateClientOptions {
  bool test_mode = false;  // every run succeeds at once, nothing is sent
  UpdateLinkLimits limits;
  // How long installing a rules file waits for the filter mutex.
  int filter_wait_ms = kFilterReplaceWaitMs;
  // Makes the run's connection record; empty: a TcpUpdateLink with `limits`.
  UpdateLinkFactory make_link;
};

class UpdateClient {
 public:
  // Files are found through `db_file.path()`.
  UpdateClient(Log& log, Settings& settings, UpdateCommands& commands, DbFile& db_file,
               UpdateState& state, FilterService& filter, UpdateClientOptions options = {});
  UpdateClient(const UpdateClient&) = delete;
  UpdateClient& operator=(const UpdateClient&) = delete;

  // One update run; 1 for success, 0 for failure (logged).
  int do_update();

  // Installs the notification hook (an empty one removes it). Call it
  // before runs start.
  void quarncrc_setcallback(UpdateHook hook) { hook_ = std::move(hook); }

  // The request texts for the current settings.
  std::string database_request(std::int32_t position);
  std::string filter_request();

 private:
  enum class FilterOutcome { kGoOn, kFail };

  int run(UpdateLink& link);
  FilterOutcome fetch_filter(UpdateLink& link, const std::string& host, int port,
                             std::int32_t offered, const RunBounds& bounds);
  void update_hook(int kind, std::int32_t value) {
    if (hook_) hook_(kind, value);
  }

  Log& log_;
  Settings& settings_;
  UpdateCommands& commands_;
  DbFile& db_file_;
  UpdateState& state_;
  FilterService& filter_;
  const UpdateClientOptions options_;
  UpdateHook hook_;
};

}  // namespace quarn
