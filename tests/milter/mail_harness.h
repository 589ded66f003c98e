// Real mail parts on loopback for the milter's end-to-end tests: a Postfix
// instance with its own configuration and queue under a temporary
// directory, a small SMTP sink it relays every message to, an SMTP client
// that sends messages to it, and the milter binary itself.
//
// Everything listens on 127.0.0.1 only, on ports the kernel picked free.
// Each object stops what it started when it is destroyed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quarn::testing {

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

// Messages relayed to the sink: recipients and the data without dot-stuffing,
// in CR LF form.
struct SinkMessage {
  std::vector<std::string> recipients;
  std::string data;
};

class SmtpSink {
 public:
  SmtpSink();
  ~SmtpSink();
  int port() const { return port_; }
  // Waits until at least `count` messages arrived; all messages so far.
  std::vector<SinkMessage> wait_for(std::size_t count, std::chrono::seconds limit);

 private:
  void serve(int fd);

  int listen_fd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<SinkMessage> messages_;
  std::vector<std::thread> sessions_;
  bool stopping_ = false;
};

// One SMTP session: every message from `from` to its recipient; returns the
// server's reply line to each message's final "." (or to the command that
// failed). `messages` are in CR LF form.
struct Outgoing {
  std::string recipient;
  std::string data;
};
// With `latencies_ms`, the time from the end of each message's data to the
// server's reply is appended to it.
std::vector<std::string> smtp_send(int port, const std::vector<Outgoing>& messages,
                                   std::vector<double>* latencies_ms = nullptr);

// Bare LF made CR LF.
std::string to_crlf(std::string_view text);
// Removes every header line (with its folded lines) for which `drop` holds;
// `message` is in CR LF form.
std::string drop_headers(const std::string& message,
                         const std::function<bool(const std::string&)>& drop);
// A corpus file as it travels over SMTP: without the mailbox "From " line
// and Return-Path (a mail server drops or rewrites them), in CR LF form.
std::string as_sent(const std::filesystem::path& file);

class Postfix {
 public:
  // Starts Postfix under `dir` listening on a free port, relaying to
  // `relay_port` and asking the milter at `milter` (Postfix's notation, as
  // "inet:127.0.0.1:PORT"; empty: no milter).
  Postfix(const std::filesystem::path& dir, int relay_port, const std::string& milter);
  ~Postfix();
  bool started() const { return started_; }
  int port() const { return port_; }
  std::string log() const;

 private:
  std::filesystem::path dir_;
  int port_ = 0;
  bool started_ = false;
};

bool postfix_installed();

class MilterProcess {
 public:
  MilterProcess(const std::vector<std::string>& args, const std::filesystem::path& log_file);
  ~MilterProcess();
  pid_t pid() const { return pid_; }
  // Sends SIGTERM and waits; the exit code (or -1).
  int stop(std::chrono::seconds limit = std::chrono::seconds(30));

 private:
  pid_t pid_ = -1;
};

// Waits until something accepts connections on 127.0.0.1:port.
bool wait_listening(int port, std::chrono::seconds limit);

}  // namespace quarn::testing
