#include "feed/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstring>
#include <optional>

#include "feed/message_report.h"
#include "feed/request.h"

namespace quarn::feed {
namespace {

// What one request has gathered between the library's calls.
struct RequestContext {
  bool first_call_done = false;
  std::string body;
  bool body_too_large = false;
};

// Owns what a streamed update answer reads from; freed by the library.
struct DeltaSource {
  std::unique_ptr<FeedServer::StoreLease> lease;
  std::unique_ptr<Delta> delta;
};

MHD_Result queue(FeedServer& server, MHD_Connection* connection, MHD_Response* response) {
  MHD_add_response_header(response, "Connection", "close");
  server.connection_answered(connection);
  const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result answer_text(FeedServer& server, MHD_Connection* connection, const std::string& body,
                       const std::vector<std::pair<std::string, std::string>>& headers) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  for (const auto& [name, value] : headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  return queue(server, connection, response);
}

MHD_Result refuse(FeedServer& server, MHD_Connection* connection, const std::string& reason) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char address[INET6_ADDRSTRLEN] = "?";
  if (info && info->client_addr && info->client_addr->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr, address,
              sizeof address);
  }
  server.log().write("refused a request from %s: %s", address, reason.c_str());
  return answer_text(server, connection, reason + "\n", {{"x-quarn-error", reason}});
}

ssize_t read_delta(void* cls, std::uint64_t, char* buffer, std::size_t max) {
  auto* source = static_cast<DeltaSource*>(cls);
  const long n = source->delta->read(buffer, max);
  if (n > 0) return n;
  return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
}

void free_delta(void* cls) { std::unique_ptr<DeltaSource> owned(static_cast<DeltaSource*>(cls)); }

// The reason to refuse the request's account, if any.
std::optional<std::string> check_account(FeedServer& server, Store& store, const FeedRequest& request,
                                         bool required) {
  if (!required) return std::nullopt;
  if (request.email.empty()) return "account required";
  const std::optional<std::string> hash = store.account_hash(request.email);
  if (!hash) return "store unavailable";
  if (hash->empty()) return "unknown account";
  if (!server.passwords().verify(*hash, request.password)) return "wrong password";
  return std::nullopt;
}

MHD_Result answer_update(FeedServer& server, MHD_Connection* connection, const FeedRequest& request,
                         std::unique_ptr<FeedServer::StoreLease> lease) {
  const std::optional<std::int64_t> rules = lease->store->rules_version();
  auto source = std::make_unique<DeltaSource>();
  source->delta = rules ? lease->store->delta(request.from) : nullptr;
  source->lease = std::move(lease);
  if (!source->delta) return refuse(server, connection, "store unavailable");
  const std::int64_t lines = source->delta->lines();
  server.log().write("update for %s from %lld: %lld lines", request.email.empty() ? "-" : request.email.c_str(),
                     static_cast<long long>(request.from), static_cast<long long>(lines));
  MHD_Response* response = MHD_create_response_from_callback(
      static_cast<std::uint64_t>(source->delta->bytes()), 16384, read_delta, source.get(), free_delta);
  if (!response) return MHD_NO;
  source.release();
  MHD_add_response_header(response, "x-quarn-count", std::to_string(lines).c_str());
  if (*rules > 0) MHD_add_response_header(response, "x-quarn-filter", std::to_string(*rules).c_str());
  if (server.options().update_minutes > 0) {
    MHD_add_response_header(response, "x-quarn-update",
                            std::to_string(server.options().update_minutes).c_str());
  }
  return queue(server, connection, response);
}

MHD_Result add_length(void* cls, MHD_ValueKind, const char* key, const char* value) {
  *static_cast<std::size_t*>(cls) += std::strlen(key) + (value ? std::strlen(value) : 0) + 2;
  return MHD_YES;
}

// The length of the path and its decoded query parameters.
std::size_t request_length(MHD_Connection* connection, const char* url) {
  std::size_t length = std::strlen(url);
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &add_length, &length);
  return length;
}

MHD_Result handle(FeedServer& server, MHD_Connection* connection, const char* url,
                  const char* method, const char* upload_data, std::size_t* upload_data_size,
                  RequestContext& context) {
  const ServerOptions& options = server.options();
  const bool is_post = std::strcmp(method, "POST") == 0;
  if (is_post && *upload_data_size > 0) {
    if (context.body.size() + *upload_data_size > options.max_message) {
      context.body_too_large = true;
      context.body.clear();
    } else if (!context.body_too_large) {
      context.body.append(upload_data, *upload_data_size);
    }
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (is_post && !context.first_call_done) {
    context.first_call_done = true;
    return MHD_YES;  // the body follows
  }
  if (request_length(connection, url) > options.max_uri) {
    return refuse(server, connection, "request too long");
  }
  if (options.path != url) return refuse(server, connection, "unknown path");

  const auto parsed = parse_request(method, [connection](std::string_view name) {
    const std::string key(name);
    const char* value = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, key.c_str());
    return value ? std::optional<std::string_view>(value) : std::nullopt;
  });
  if (const auto* refusal = std::get_if<Refusal>(&parsed)) {
    return refuse(server, connection, refusal->reason);
  }
  const FeedRequest& request = std::get<FeedRequest>(parsed);
  std::unique_ptr<FeedServer::StoreLease> lease = server.borrow_store();
  if (!lease) return refuse(server, connection, "store unavailable");
  const bool account_required = options.require_account || request.command == Command::kReport;
  if (const std::optional<std::string> reason =
          check_account(server, *lease->store, request, account_required)) {
    return refuse(server, connection, *reason);
  }

  switch (request.command) {
    case Command::kUpdate:
      return answer_update(server, connection, request, std::move(lease));
    case Command::kFilter: {
      const auto rules = lease->store->rules();
      if (!rules) return refuse(server, connection, "store unavailable");
      if (rules->first == 0) return refuse(server, connection, "no rules file");
      server.log().write("rules %lld for %s", static_cast<long long>(rules->first),
                         request.email.empty() ? "-" : request.email.c_str());
      return answer_text(server, connection, rules->second,
                         {{"x-quarn-filter", std::to_string(rules->first)}});
    }
    case Command::kReport: {
      if (context.body_too_large) return refuse(server, connection, "message too large");
      if (context.body.empty()) return refuse(server, connection, "empty message");
      const std::optional<ReportOutcome> outcome =
          lease->store->report(message_crcs(context.body), request.ham, request.type);
      if (!outcome) return refuse(server, connection, "store unavailable");
      if (outcome->kind == ReportOutcome::kNoBody) return refuse(server, connection, "message has no body");
      const std::string text = describe_report(*outcome);
      server.log().write("report from %s: %s", request.email.c_str(), text.c_str());
      return answer_text(server, connection, text + "\n",
                         {{"x-quarn-record", std::to_string(outcome->id)}});
    }
  }
  return MHD_NO;
}

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                      const char*, const char* upload_data, std::size_t* upload_data_size,
                      void** req_cls) {
  auto& server = *static_cast<FeedServer*>(cls);
  if (!*req_cls) *req_cls = std::make_unique<RequestContext>().release();  // freed by on_completed
  return handle(server, connection, url, method, upload_data, upload_data_size,
                *static_cast<RequestContext*>(*req_cls));
}

void on_completed(void*, MHD_Connection*, void** req_cls, MHD_RequestTerminationCode) {
  std::unique_ptr<RequestContext> owned(static_cast<RequestContext*>(*req_cls));
  *req_cls = nullptr;
}

void on_connection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
  auto& server = *static_cast<FeedServer*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) server.connection_started(connection, info->connect_fd);
  } else {
    server.connection_closed(connection);
  }
}

void on_library_error(void* cls, const char* fmt, std::va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, fmt, args);
  std::size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
  static_cast<FeedServer*>(cls)->log().write("http: %s", text);
}

}  // namespace

FeedServer::FeedServer(ServerOptions options, FeedLog& log) : options_(std::move(options)), log_(log) {}

FeedServer::~FeedServer() { stop(); }

bool FeedServer::start(std::string& error) {
  {
    // Open one store first, so a bad data directory fails the start.
    std::unique_ptr<Store> store = Store::open(options_.data_dir, options_.store, error);
    if (!store) return false;
    give_back(std::move(store));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.host.c_str(), &address.sin_addr) != 1) {
    error = "not an IPv4 address: " + options_.host;
    return false;
  }
  daemon_ = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG, 0, nullptr, nullptr,
      &on_request, this, MHD_OPTION_EXTERNAL_LOGGER, &on_library_error, this, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_THREAD_POOL_SIZE,
      options_.threads, MHD_OPTION_CONNECTION_LIMIT, options_.max_connections,
      MHD_OPTION_CONNECTION_TIMEOUT, options_.idle_timeout_s, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<std::size_t>(options_.max_uri + 16384), MHD_OPTION_NOTIFY_COMPLETED, &on_completed, this, MHD_OPTION_NOTIFY_CONNECTION,
      &on_connection, this, MHD_OPTION_END);
  if (!daemon_) {
    error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : options_.port;
  stopping_ = false;
  watcher_ = std::thread([this] { watch(); });
  log_.write("serving %s on %s:%u", options_.path.c_str(), options_.host.c_str(), port_);
  return true;
}

void FeedServer::stop() {
  if (!daemon_) return;
  {
    std::lock_guard<std::mutex> hold(pending_mutex_);
    stopping_ = true;
  }
  watch_wake_.notify_all();
  watcher_.join();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  log_.write("stopped");
}

std::unique_ptr<FeedServer::StoreLease> FeedServer::borrow_store() {
  std::unique_ptr<Store> store;
  {
    std::lock_guard<std::mutex> hold(pool_mutex_);
    if (!pool_.empty()) {
      store = std::move(pool_.back());
      pool_.pop_back();
    }
  }
  if (!store) {
    std::string error;
    store = Store::open(options_.data_dir, options_.store, error);
    if (!store) {
      log_.write("cannot open the store: %s", error.c_str());
      return nullptr;
    }
  }
  return std::make_unique<StoreLease>(*this, std::move(store));
}

void FeedServer::give_back(std::unique_ptr<Store> store) {
  if (!store) return;
  std::lock_guard<std::mutex> hold(pool_mutex_);
  // Connections beyond the worker count are closed rather than kept.
  if (pool_.size() < options_.threads * 2) pool_.push_back(std::move(store));
}

void FeedServer::connection_started(MHD_Connection* connection, int fd) {
  std::lock_guard<std::mutex> hold(pending_mutex_);
  pending_[connection] = {fd, std::chrono::steady_clock::now()};
}

void FeedServer::connection_answered(MHD_Connection* connection) {
  std::lock_guard<std::mutex> hold(pending_mutex_);
  pending_.erase(connection);
}

void FeedServer::connection_closed(MHD_Connection* connection) { connection_answered(connection); }

// Closes connections that have not delivered a whole request in time. The
// library's own time-out only counts idle time, so a client sending one
// byte a second would otherwise hold a connection for ever. The socket is
// shut down, not closed: the library notices, closes it and tells us (the
// notice runs under the same mutex, before the descriptor is released).
void FeedServer::watch() {
  const auto limit = std::chrono::milliseconds(options_.request_timeout_ms);
  const auto tick = std::clamp(limit / 4, std::chrono::milliseconds(20), std::chrono::milliseconds(1000));
  std::unique_lock<std::mutex> hold(pending_mutex_);
  while (!stopping_) {
    watch_wake_.wait_for(hold, tick);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (now - it->second.start > limit) {
        log_.write("closing a connection that sent no whole request within %d ms",
                   options_.request_timeout_ms);
        shutdown(it->second.fd, SHUT_RDWR);
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
}

}  // namespace quarn::feed
