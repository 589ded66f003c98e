// The feed's HTTP server: the answers the engine's update client asks for,
// and reports from the administrators of a site.
//
//   update2  200, "x-quarn-count: <lines>", "x-quarn-filter: <version>"
//            when there is a rules file, "x-quarn-update: <minutes>" when
//            configured; the body is the store's Delta for `from`
//   filter2  200, "x-quarn-filter: <version>"; the body is the rules file
//   report   200, "x-quarn-record: <id>" and one line telling what the
//            report did ("raised ...", "made ...", "no match")
//   refusal  200 (the engine reads refusals only from a 200 answer),
//            "x-quarn-error: <reason>" and the reason as the body
//
// Every answer carries Content-Length and "Connection: close"; update
// answers are produced a block at a time from a store snapshot.
//
// Limits: a path and query of more than `max_uri` bytes, a message over
// `max_message` bytes, and a request not received whole within
// `request_timeout_ms` are refused or closed; idle connections close after
// `idle_timeout_s`; at most `max_connections` are open at once.
//
// Threads: libmicrohttpd runs `threads` worker threads; each request
// borrows a store connection from a pool. start() and stop() belong to the
// owner's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feed/feed_log.h"
#include "feed/passwords.h"
#include "feed/store.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace quarn::feed {

struct ServerOptions {
  std::string data_dir;
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;  // 0: any free port (see FeedServer::port)
  std::string path = "/cgi-bin/spamcgi.cgi";
  bool require_account = false;
  unsigned threads = 4;
  unsigned max_connections = 256;
  unsigned idle_timeout_s = 60;
  int request_timeout_ms = 10000;
  std::size_t max_uri = 4096;
  std::size_t max_message = 1 << 20;
  std::int32_t update_minutes = 0;  // x-quarn-update; 0: not sent
  StoreOptions store;
};

class FeedServer {
 public:
  FeedServer(ServerOptions options, FeedLog& log);
  ~FeedServer();
  FeedServer(const FeedServer&) = delete;
  FeedServer& operator=(const FeedServer&) = delete;

  bool start(std::string& error);
  void stop();
  std::uint16_t port() const { return port_; }

  // ---- Used by the request handlers ----
  struct StoreLease;
  std::unique_ptr<StoreLease> borrow_store();
  void give_back(std::unique_ptr<Store> store);
  const ServerOptions& options() const { return options_; }
  FeedLog& log() { return log_; }
  PasswordCheck& passwords() { return passwords_; }
  void connection_started(MHD_Connection* connection, int fd);
  void connection_answered(MHD_Connection* connection);
  void connection_closed(MHD_Connection* connection);

 private:
  void watch();

  ServerOptions options_;
  FeedLog& log_;
  PasswordCheck passwords_;
  MHD_Daemon* daemon_ = nullptr;
  std::uint16_t port_ = 0;

  std::mutex pool_mutex_;
  std::vector<std::unique_ptr<Store>> pool_;

  struct Pending {
    int fd;
    std::chrono::steady_clock::time_point start;
  };
  std::mutex pending_mutex_;
  std::map<MHD_Connection*, Pending> pending_;  // connections still sending their request
  std::condition_variable watch_wake_;
  bool stopping_ = false;
  std::thread watcher_;
};

struct FeedServer::StoreLease {
  StoreLease(FeedServer& server, std::unique_ptr<Store> store)
      : server(server), store(std::move(store)) {}
  ~StoreLease() { server.give_back(std::move(store)); }
  FeedServer& server;
  std::unique_ptr<Store> store;
};

}  // namespace quarn::feed
