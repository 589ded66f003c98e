// The real quarncrc-feed binary for tests: one-shot commands, a server
// started on a free port of 127.0.0.1, and a raw HTTP exchange with it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace quarn::testing {

struct FeedRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs `quarncrc-feed --data <data> <args...>` with `input` on standard
// input and waits for it.
FeedRun run_feed(const std::filesystem::path& data, const std::vector<std::string>& args,
                 const std::string& input = "");

// `quarncrc-feed --data <data> serve --listen 127.0.0.1:0 <extra...>`,
// standard error kept in <data>/serve.log. The destructor sends SIGTERM and
// waits (SIGKILL after 10 s).
class FeedServerProcess {
 public:
  FeedServerProcess(const std::filesystem::path& data, const std::vector<std::string>& extra = {});
  ~FeedServerProcess();
  FeedServerProcess(const FeedServerProcess&) = delete;
  FeedServerProcess& operator=(const FeedServerProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string log() const;
  // Sends SIGTERM; the exit code (128 + signal after a kill).
  int stop();

 private:
  std::filesystem::path data_;
  pid_t pid_ = -1;
  int port_ = 0;
  int exit_code_ = -1;
};

// Sends `request` to 127.0.0.1:`port`, `pace` apart byte by byte when not
// zero, and returns everything received until the server closes (or the
// limit passes).
std::string http_exchange(int port, const std::string& request,
                          std::chrono::milliseconds limit = std::chrono::milliseconds(10000),
                          std::chrono::milliseconds pace = std::chrono::milliseconds(0));

// A GET of `target` ("/cgi-bin/spamcgi.cgi?cmd=...") as the engine sends it.
std::string http_get(int port, const std::string& target);

// The value of header `name` in a raw answer, or "" when absent.
std::string header_of(const std::string& answer, const std::string& name);
// The body of a raw answer.
std::string body_of(const std::string& answer);

}  // namespace quarn::testing
