#include "update/update_client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "filter/rules_origin.h"
#include "support/file.h"
#include "support/text.h"
#include "update/tls_link.h"

namespace quarn {
namespace {

constexpr const char* kRulesFile = "filter.dat";
constexpr const char* kRulesNewFile = "filter.new";

// A request is formatted into a 999-byte buffer.
constexpr std::size_t kRequestSize = 999;

constexpr std::string_view kErrorHeader = "x-quarn-error: ";
constexpr std::string_view kCountHeader = "x-quarn-count: ";
constexpr std::string_view kFilterHeader = "x-quarn-filter: ";
constexpr std::string_view kUpdateHeader = "x-quarn-update: ";
constexpr std::string_view kTransferEncoding = "transfer-encoding:";

constexpr std::int64_t kMaxChunk = 0x7fffffff;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool needs_encoding(unsigned char c) {
  if (c < 0x20 || c >= 0x7f) return true;  // control characters, DEL, 8-bit bytes
  switch (c) {
    case ' ':
    case '"':
    case '#':
    case '%':
    case '&':
    case '+':
    case '=':
      return true;
    default:
      return false;
  }
}

// The status line must carry 200 after its first blank.
bool status_ok(std::string_view line) {
  const std::size_t blank = line.find(' ');
  return blank != std::string_view::npos && atoi32(line.substr(blank + 1)) == 200;
}

std::int32_t header_number(std::string_view line, std::string_view prefix) {
  return atoi32(line.substr(prefix.size()));
}

// Appends a downloaded line to the journal exactly as it came, with a line
// end. (The update server ends its SET lines with a separator, so the line
// end never becomes part of the signature field when the file is read back.)
void journal_line(std::FILE* file, std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), file);
  std::fputc('\n', file);
}

constexpr std::int64_t kMegabyte = 1024 * 1024;

}  // namespace

RunBounds::RunBounds(Settings& settings)
    : deadline_(Clock::now() + std::chrono::seconds(settings.get_int(IniKey::UPDATE_TIME_MAX))),
      seconds_(settings.get_int(IniKey::UPDATE_TIME_MAX)),
      download_max_mb_(settings.get_int(IniKey::DOWNLOAD_MAX)),
      rules_max_mb_(settings.get_int(IniKey::FILTER_FILE_MAX)) {}

bool RunBounds::within(Log& log, std::int64_t& bytes, std::size_t line_size, Answer answer) const {
  bytes += static_cast<std::int64_t>(line_size) + 1;
  const std::int32_t max_mb = answer == Answer::kDatabase ? download_max_mb_ : rules_max_mb_;
  if (bytes > max_mb * kMegabyte) {
    if (answer == Answer::kDatabase) {
      log.emsg("do_update - Download exceeds DOWNLOAD_MAX (%d MB), stopped\n", max_mb);
    } else {
      log.emsg("do_update - Rules file exceeds FILTER_FILE_MAX (%d MB), stopped\n", max_mb);
    }
    return false;
  }
  if (Clock::now() > deadline_) {
    log.emsg("do_update - Update run exceeds UPDATE_TIME_MAX (%d s), stopped\n", seconds_);
    return false;
  }
  return true;
}

std::string percent_encode_value(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (needs_encoding(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0f];
    } else {
      out += ch;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// The connection over TCP

TcpUpdateLink::TcpUpdateLink(Log& log, UpdateLinkLimits limits) : limits_(limits) {
  tcp_new(conn_, log);
  conn_->set_connect_limit_ms(limits.connect_ms);
  conn_->set_read_limit_ms(limits.read_ms);
  conn_->set_write_limit_ms(limits.write_ms);
}

TcpUpdateLink::~TcpUpdateLink() {
  tcp_release(*conn_);
  tcp_free(conn_);
}

int TcpUpdateLink::open(const std::string& host, int port) {
  tcp_close_nice(*conn_);  // a reused record is closed first
  return tcp_open(*conn_, host, port);
}

std::string TcpUpdateLink::error() { return tcp_error(*conn_); }

int TcpUpdateLink::send(const std::string& text) { return tcp_printf(*conn_, "%s", text.c_str()); }

int TcpUpdateLink::readline(std::string& line, std::size_t size) {
  return tcp_readline(*conn_, line, size);
}

int TcpUpdateLink::read(char* data, std::size_t size) { return conn_->read(data, size); }

void TcpUpdateLink::close() { tcp_close_nice(*conn_); }

int TcpUpdateLink::read_limit_ms() const {
  return limits_.read_ms != 0 ? limits_.read_ms : TcpConn::kDefaultReadLimitMs;
}

// ---------------------------------------------------------------------------
// Chunked bodies

void ChunkDecoder::end(bool broken) {
  state_ = State::kEnded;
  broken_ = broken;
}

void ChunkDecoder::size_char(char c) {
  if (c == '\n') {
    end_size_line();
    return;
  }
  if (size_done_ || c == '\r') return;  // extensions and the CR are ignored
  const int digit = hex_value(c);
  if (digit >= 0) {
    size_digits_ = true;
    size_ = size_ * 16 + digit;
    if (size_ > kMaxChunk) end(true);
  } else if (size_digits_) {
    size_done_ = true;  // ";name=value" or blanks after the size
  } else if (c != ' ' && c != '\t') {
    end(true);
  }
}

void ChunkDecoder::end_size_line() {
  if (!size_digits_) {
    end(true);
  } else if (size_ == 0) {
    state_ = State::kTrailer;
    trailer_chars_ = 0;
  } else {
    state_ = State::kData;
    left_ = size_;
  }
  size_ = 0;
  size_digits_ = false;
  size_done_ = false;
}

std::size_t ChunkDecoder::feed(std::string_view in, std::string& out) {
  std::size_t i = 0;
  while (i < in.size() && state_ != State::kEnded) {
    switch (state_) {
      case State::kSize:
        size_char(in[i++]);
        break;
      case State::kData: {
        const auto n = static_cast<std::size_t>(
            std::min<std::int64_t>(left_, static_cast<std::int64_t>(in.size() - i)));
        out.append(in.substr(i, n));
        i += n;
        left_ -= static_cast<std::int64_t>(n);
        if (left_ == 0) state_ = State::kDataEnd;
        break;
      }
      case State::kDataEnd: {
        const char c = in[i++];
        if (c == '\n') {
          state_ = State::kSize;
        } else if (c != '\r') {
          end(true);
        }
        break;
      }
      case State::kTrailer: {
        const char c = in[i++];
        if (c == '\n') {
          if (trailer_chars_ == 0) end(false);
          trailer_chars_ = 0;
        } else if (c != '\r') {
          ++trailer_chars_;
        }
        break;
      }
      case State::kEnded:
        break;
    }
  }
  return i;
}

// ---------------------------------------------------------------------------
// Answer lines

void AnswerReader::note_header(std::string_view line) {
  if (starts_with_nc(line, kTransferEncoding) &&
      strstrnc(line.substr(kTransferEncoding.size()), "chunked") != std::string_view::npos) {
    chunked_body_ = true;
  }
}

int AnswerReader::readline(std::string& line, std::size_t size) {
  return chunked_ ? readline_chunked(line, size) : link_.readline(line, size);
}

int AnswerReader::readline_chunked(std::string& line, std::size_t size) {
  using Clock = std::chrono::steady_clock;
  bool started = false;
  Clock::time_point first_chunk;
  char raw[4096];
  for (;;) {
    if (lines_.take_line(line, size)) return 1;
    if (decoded_at_ == decoded_.size()) {
      decoded_.clear();
      decoded_at_ = 0;
      if (decoder_.ended()) return 0;
      const int n = link_.read(raw, sizeof raw);
      if (n <= 0) return 0;
      decoder_.feed(std::string_view(raw, static_cast<std::size_t>(n)), decoded_);
      if (!started) {
        started = true;
        first_chunk = Clock::now();
      } else if (Clock::now() - first_chunk > std::chrono::milliseconds(link_.read_limit_ms())) {
        return 0;
      }
      continue;
    }
    TcpInputBuffer::Room room = lines_.prepare(size + 100);
    if (room.discarded) log_.emsg("No end of line in input buffer\n");
    const std::size_t n = std::min(room.size, decoded_.size() - decoded_at_);
    std::memcpy(room.data, decoded_.data() + decoded_at_, n);
    lines_.commit(n);
    decoded_at_ += n;
  }
}

// ---------------------------------------------------------------------------
// The update run

UpdateClient::UpdateClient(Log& log, Settings& settings, UpdateCommands& commands, DbFile& db_file,
                           UpdateState& state, FilterService& filter, UpdateClientOptions options)
    : log_(log),
      settings_(settings),
      commands_(commands),
      db_file_(db_file),
      state_(state),
      filter_(filter),
      options_(std::move(options)) {}

std::string UpdateClient::database_request(std::int32_t position) {
  const std::string cgi = settings_.get(IniKey::QUARN_CGI);
  const std::string email = percent_encode_value(settings_.get(IniKey::QUARN_EMAIL));
  const std::string pass = percent_encode_value(settings_.get(IniKey::QUARN_PASS));
  const std::string host = settings_.get(IniKey::HTTP_HOST);
  const int port = settings_.get_int(IniKey::HTTP_PORT);
  if (position != 0) {
    return lprintf(kRequestSize,
                   "GET %s?cmd=update2&from=%d&email=%s&password=%s HTTP/1.1\r\nHost: %s:%d\r\n"
                   "Connection: close\r\n\r\n",
                   cgi.c_str(), position, email.c_str(), pass.c_str(), host.c_str(), port);
  }
  return lprintf(kRequestSize,
                 "GET %s?cmd=update2&from=1&email=%s&password=%s HTTP/1.1\r\nHost: %s:%d\r\n"
                 "Connection: close\r\n\r\n",
                 cgi.c_str(), email.c_str(), pass.c_str(), host.c_str(), port);
}

std::string UpdateClient::filter_request() {
  const std::string cgi = settings_.get(IniKey::QUARN_CGI);
  const std::string email = percent_encode_value(settings_.get(IniKey::QUARN_EMAIL));
  const std::string pass = percent_encode_value(settings_.get(IniKey::QUARN_PASS));
  const std::string host = settings_.get(IniKey::HTTP_HOST);
  const int port = settings_.get_int(IniKey::HTTP_PORT);
  return lprintf(kRequestSize,
                 "GET %s?cmd=filter2&email=%s&password=%s HTTP/1.0\r\nHost: %s:%d\r\n"
                 "Connection: close\r\n\r\n",
                 cgi.c_str(), email.c_str(), pass.c_str(), host.c_str(), port);
}

int UpdateClient::do_update() {
  if (options_.test_mode) return 1;  // test mode never contacts the update server
  std::unique_ptr<UpdateLink> link;
  if (options_.make_link) {
    link = options_.make_link();
  } else if (settings_.is_true(IniKey::HTTP_TLS)) {
    link = std::make_unique<TlsUpdateLink>(log_, options_.limits,
                                           settings_.get(IniKey::HTTP_CA_FILE));
  } else {
    link = std::make_unique<TcpUpdateLink>(log_, options_.limits);
  }
  log_.imsg("do_update - Updating database (%d)\n", static_cast<int>(state_.position));
  // The link (and with it any open connection) and every file the run
  // opened are released on every path out.
  return run(*link);
}

int UpdateClient::run(UpdateLink& link) {
  const std::string host = settings_.get(IniKey::HTTP_HOST);
  const int port = settings_.get_int(IniKey::HTTP_PORT);
  if (!link.open(host, port)) {
    log_.emsg("do_update - Could not open connection for database update (%s)\n",
              link.error().c_str());
    return 0;
  }

  const std::int32_t start_position = state_.position;
  const std::string request = database_request(start_position);
  log_.hook("do_update - %s", request.c_str());
  link.send(request);  // a failed send shows up as a missing answer

  // A last line cut by a crash is ended first, so the first downloaded line
  // is not glued to it (and dropped with it by the next rewrite).
  const std::string journal_path = db_file_.path(kDbFile);
  FilePtr journal = end_cut_line(journal_path) ? open_file(journal_path, "a") : nullptr;
  if (!journal) {
    log_.emsg("do_update - Could not open database (append)\n");
    return 0;
  }

  const RunBounds bounds(settings_);
  std::int64_t bytes = 0;
  AnswerReader answer(link, log_);
  std::string line;
  if (!answer.readline(line)) {
    log_.emsg("do_update - No response from server\n");
    return 0;
  }
  if (!status_ok(line)) {
    log_.emsg("do_update - Bad response from server (%s)\n", line.c_str());
    return 0;
  }

  std::int32_t expected = 0;
  std::int32_t offered = 0;
  while (answer.readline(line)) {
    if (!bounds.within(log_, bytes, line.size(), RunBounds::Answer::kDatabase)) return 0;
    if (line.empty()) {
      answer.begin_body();
      break;
    }
    if (starts_with_nc(line, kErrorHeader)) {
      log_.emsg("do_update - Failure from server - (%s)\n", line.c_str() + kErrorHeader.size());
      return 0;
    } else if (starts_with_nc(line, kCountHeader)) {
      expected = header_number(line, kCountHeader);
    } else if (starts_with_nc(line, kFilterHeader)) {
      offered = header_number(line, kFilterHeader);
    } else if (starts_with_nc(line, kUpdateHeader)) {
      const std::int32_t minutes = header_number(line, kUpdateHeader);
      settings_.set_server_interval(minutes);
      update_hook(2, minutes);
    } else {
      answer.note_header(line);
    }
  }

  std::int32_t largest = 0;
  std::int32_t lines = 0;
  bool bounded = true;
  while (answer.readline(line)) {
    if (!bounds.within(log_, bytes, line.size(), RunBounds::Answer::kDatabase)) {
      bounded = false;
      break;
    }
    const std::int32_t result = commands_.do_update_command(line, false);
    if (result != 0) journal_line(journal.get(), line);
    largest = std::max(largest, result);
    ++lines;
  }
  const bool journalled = commit_file(std::move(journal));
  if (!bounded) {
    // What was applied stays applied and journalled; the position stays,
    // so the next run asks for the rest again.
    state_.position = start_position;
    return 0;
  }

  const bool accepted =
      expected == lines || (expected == 0 && settings_.is_raw_true(IniKey::NO_DLCOUNT));
  if (!accepted) {
    log_.emsg("do_update - Count does not match, retry from %d\n",
              static_cast<int>(start_position));
    state_.position = start_position;
    return 0;
  }
  if (!journalled) {
    // The lines are in memory but not on disk: fetching them again keeps
    // the file whole.
    log_.emsg("do_update - Could not write database (append), retry from %d\n",
              static_cast<int>(start_position));
    state_.position = start_position;
    return 0;
  }
  state_.position = std::max(start_position, largest);

  const std::int32_t filter_time = state_.filter_time;
  if (offered != 0 && offered != filter_time && settings_.is_true(IniKey::FILTER_UPGRADE)) {
    log_.imsg("do_update - New filter available (%d -> %d), requesting\n",
              static_cast<int>(filter_time), static_cast<int>(offered));
    if (fetch_filter(link, host, port, offered, bounds) == FilterOutcome::kFail) return 0;
  }

  if (!db_file_.rewrite_db()) return 0;
  const std::int32_t position = state_.position;
  log_.imsg("do_update - Database updated sucessful (%d)\n", static_cast<int>(position));
  update_hook(0, position);
  return 1;
}

UpdateClient::FilterOutcome UpdateClient::fetch_filter(UpdateLink& link, const std::string& host,
                                                       int port, std::int32_t offered,
                                                       const RunBounds& bounds) {
  link.close();
  if (!link.open(host, port)) {
    log_.emsg("do_update - Could not open connection for filter update (%s)\n",
              link.error().c_str());
    return FilterOutcome::kGoOn;
  }
  link.send(filter_request());

  const std::string new_path = db_file_.path(kRulesNewFile);
  FilePtr out = open_file(new_path, "w");
  if (!out) {
    log_.emsg("do_update - Could not open new rule file (write)\n");
    return FilterOutcome::kGoOn;
  }

  AnswerReader answer(link, log_);
  std::string line;
  int markers = 0;
  bool in_body = false;
  std::int64_t bytes = 0;
  while (answer.readline(line)) {
    if (!bounds.within(log_, bytes, line.size(), RunBounds::Answer::kRules)) {
      // A cut rules file is of no use: filter.dat and the filter in service
      // stay as they are.
      out.reset();
      remove_file(new_path);
      return FilterOutcome::kFail;
    }
    if (in_body) {
      std::fwrite(line.data(), 1, line.size(), out.get());
      std::fputc('\n', out.get());
    } else if (line.empty()) {
      in_body = true;
      answer.begin_body();
    } else if (starts_with_nc(line, kErrorHeader)) {
      log_.emsg("do_update - Failure from server - (%s)\n", line.c_str() + kErrorHeader.size());
      return FilterOutcome::kFail;  // filter.new stays as far as it was written
    } else {
      if (starts_with_nc(line, kFilterHeader)) ++markers;
      answer.note_header(line);
    }
  }
  // On disk before it is compiled and renamed over filter.dat.
  const bool written = commit_file(std::move(out));
  if (markers == 0) {
    log_.emsg("do_update - Download doesn't appear to be a filter\n");
    return FilterOutcome::kGoOn;
  }
  if (!written) {
    log_.emsg("do_update - Could not write new rule file, using old filter\n");
    return FilterOutcome::kGoOn;
  }

  log_.imsg("do_update - New filter obtained, applying\n");
  const std::string rules_path = db_file_.path(kRulesFile);
  auto installed = [&] {
    // One rename replaces filter.dat: there is no moment without it.
    if (!rename_file(new_path, rules_path)) {
      log_.emsg("do_update - Could not rename filter, disk and memory not synchronised\n");
    }
    state_.filter_time = offered;
  };
  // Marked as the server's before it is compiled: spawn() in it then starts
  // only what SPAWN_ALLOW names, now and after any restart.
  if (!record_downloaded_rules(db_file_.path(kRulesOriginFile), new_path)) {
    log_.emsg("do_update - Could not record the new rule file's origin, using old filter\n");
    return FilterOutcome::kGoOn;
  }
  switch (filter_.replace(new_path, options_.filter_wait_ms, installed)) {
    case FilterService::ReplaceResult::kTimedOut:
      log_.imsg("do_update - Failed to obtain mutex for 10 seconds while applying new filter\n");
      return FilterOutcome::kGoOn;
    case FilterService::ReplaceResult::kCompileFailed:
      log_.emsg("do_update - Filter compile failed, using old filter\n");
      return FilterOutcome::kGoOn;
    case FilterService::ReplaceResult::kReplaced:
      break;
  }
  update_hook(1, state_.filter_time);
  return FilterOutcome::kGoOn;
}

}  // namespace quarn
