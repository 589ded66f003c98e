#include "tests/milter/mail_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <strings.h>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace quarn::testing {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int connect_to(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{120, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  // Commands go in small writes; waiting to merge them would time Nagle.
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// Line-oriented reading and writing on a socket.
class Conn {
 public:
  explicit Conn(int fd) : fd_(fd) {}
  ~Conn() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool write(std::string_view text) {
    while (!text.empty()) {
      ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  // One line without its CR LF; false at end of input.
  bool line(std::string& out) {
    while (true) {
      std::size_t end = buffer_.find("\n");
      if (end != std::string::npos) {
        out = buffer_.substr(0, end);
        if (!out.empty() && out.back() == '\r') out.pop_back();
        buffer_.erase(0, end + 1);
        return true;
      }
      char chunk[8192];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  // A whole (multi-line) SMTP reply; its last line.
  std::string reply() {
    std::string l;
    while (line(l)) {
      if (l.size() < 4 || l[3] != '-') return l;
    }
    return "";
  }

 private:
  int fd_;
  std::string buffer_;
};

std::string dot_stuff(const std::string& data) {
  std::string out;
  out.reserve(data.size() + 64);
  bool line_start = true;
  for (char c : data) {
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = c == '\n';
  }
  if (!out.ends_with("\r\n")) out += "\r\n";
  return out;
}

int run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool wait_listening(int port, std::chrono::seconds limit) {
  auto until = Clock::now() + limit;
  while (Clock::now() < until) {
    int fd = connect_to(port);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

SmtpSink::SmtpSink() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = loopback(0);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd_, 128) != 0) {
    throw std::runtime_error("sink: cannot listen");
  }
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] {
    while (true) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      std::lock_guard lock(mutex_);
      if (stopping_) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) continue;
      sessions_.emplace_back([this, fd] { serve(fd); });
    }
  });
}

SmtpSink::~SmtpSink() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ::shutdown(listen_fd_, SHUT_RDWR);
  ::close(listen_fd_);
  acceptor_.join();
  for (auto& t : sessions_) t.join();
}

void SmtpSink::serve(int fd) {
  Conn conn(fd);
  conn.write("220 sink ESMTP\r\n");
  SinkMessage message;
  std::string line;
  while (conn.line(line)) {
    std::string verb = line.substr(0, 4);
    for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (verb == "EHLO" || verb == "HELO") {
      conn.write("250-sink\r\n250 8BITMIME\r\n");
    } else if (verb == "MAIL") {
      message = SinkMessage{};
      conn.write("250 ok\r\n");
    } else if (verb == "RCPT") {
      std::size_t lt = line.find('<');
      std::size_t gt = line.find('>', lt);
      message.recipients.push_back(lt == std::string::npos ? line : line.substr(lt + 1, gt - lt - 1));
      conn.write("250 ok\r\n");
    } else if (verb == "DATA") {
      conn.write("354 go\r\n");
      std::string data;
      while (conn.line(line) && line != ".") {
        if (line.starts_with(".")) line.erase(0, 1);
        data += line;
        data += "\r\n";
      }
      message.data = std::move(data);
      {
        std::lock_guard lock(mutex_);
        messages_.push_back(std::move(message));
      }
      arrived_.notify_all();
      conn.write("250 stored\r\n");
    } else if (verb == "QUIT") {
      conn.write("221 bye\r\n");
      return;
    } else {
      conn.write("250 ok\r\n");
    }
  }
}

std::vector<SinkMessage> SmtpSink::wait_for(std::size_t count, std::chrono::seconds limit) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
  return messages_;
}

std::vector<std::string> smtp_send(int port, const std::vector<Outgoing>& messages,
                                   std::vector<double>* latencies_ms) {
  std::vector<std::string> replies;
  Conn conn(connect_to(port));
  if (!conn.ok()) return {"connect failed"};
  auto fail = [&](const std::string& reply) {
    while (replies.size() < messages.size()) replies.push_back(reply);
    return replies;
  };
  if (!conn.reply().starts_with("220")) return fail("no greeting");
  conn.write("EHLO client.test.invalid\r\n");
  if (!conn.reply().starts_with("250")) return fail("EHLO refused");
  for (const Outgoing& m : messages) {
    conn.write("MAIL FROM:<sender@client.test.invalid>\r\n");
    std::string r = conn.reply();
    if (!r.starts_with("250")) return fail(r);
    conn.write("RCPT TO:<" + m.recipient + ">\r\n");
    r = conn.reply();
    if (!r.starts_with("250")) {
      conn.write("RSET\r\n");
      conn.reply();
      replies.push_back(r);
      continue;
    }
    conn.write("DATA\r\n");
    r = conn.reply();
    if (!r.starts_with("354")) return fail(r);
    std::string stuffed = dot_stuff(m.data);
    conn.write(std::string_view(stuffed).substr(0, stuffed.size() - 2));
    auto sent = Clock::now();
    conn.write("\r\n.\r\n");
    replies.push_back(conn.reply());
    if (latencies_ms != nullptr) {
      latencies_ms->push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
  }
  conn.write("QUIT\r\n");
  conn.reply();
  return replies;
}

std::string to_crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  char last = 0;
  for (char c : text) {
    if (c == '\n' && last != '\r') out += '\r';
    out += c;
    last = c;
  }
  return out;
}

std::string drop_headers(const std::string& message,
                         const std::function<bool(const std::string&)>& drop) {
  std::size_t end = message.find("\r\n\r\n");
  if (end == std::string::npos) return message;
  std::string head = message.substr(0, end + 2);
  std::string out;
  bool dropping = false;
  for (std::size_t pos = 0; pos < head.size();) {
    std::size_t eol = head.find("\r\n", pos);
    std::string line = head.substr(pos, eol + 2 - pos);
    pos = eol + 2;
    bool folded = line[0] == ' ' || line[0] == '\t';
    if (!folded) dropping = drop(line);
    if (!dropping) out += line;
  }
  return out + message.substr(end + 2);
}

std::string as_sent(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  if (text.starts_with("From ")) text.erase(0, text.find('\n') + 1);
  return drop_headers(to_crlf(text), [](const std::string& line) {
    return line.size() >= 12 && strncasecmp(line.data(), "Return-Path:", 12) == 0;
  });
}

bool postfix_installed() { return ::access("/usr/sbin/postfix", X_OK) == 0; }

Postfix::Postfix(const std::filesystem::path& dir, int relay_port, const std::string& milter)
    : dir_(dir) {
  namespace fs = std::filesystem;
  port_ = free_port();
  fs::create_directories(dir / "conf");
  fs::create_directories(dir / "queue");
  fs::create_directories(dir / "data");
  // Postfix's own processes run as its user and must reach these folders.
  for (fs::path p = dir; p != p.root_path(); p = p.parent_path()) {
    struct stat st;
    if (::stat(p.c_str(), &st) == 0 && (st.st_mode & 0005) != 0005) {
      ::chmod(p.c_str(), (st.st_mode & 07777) | 0005);
    }
  }
  run({"chown", "postfix", (dir / "data").string()});
  std::ofstream main((dir / "conf" / "main.cf").string());
  main << "compatibility_level = 3.6\n"
       << "queue_directory = " << (dir / "queue").string() << "\n"
       << "data_directory = " << (dir / "data").string() << "\n"
       << "maillog_file = " << (dir / "maillog").string() << "\n"
       << "maillog_file_prefixes = " << dir.string() << "\n"
       << "mail_owner = postfix\n"
       << "myhostname = mx.test.invalid\nmydomain = test.invalid\n"
       << "inet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
       << "mydestination =\nalias_maps =\nalias_database =\nlocal_recipient_maps =\n"
       << "relayhost = [127.0.0.1]:" << relay_port << "\n"
       << "mynetworks = 127.0.0.0/8\n"
       << "smtpd_relay_restrictions = permit_mynetworks, reject\n"
       << "smtp_dns_support_level = disabled\n"
       << "in_flow_delay = 0s\n"
       << "smtpd_client_connection_count_limit = 0\nsmtpd_client_connection_rate_limit = 0\n"
       << "default_process_limit = 120\n"
       << "message_size_limit = 20000000\n";
  if (!milter.empty()) {
    main << "smtpd_milters = " << milter << "\n"
         << "milter_default_action = tempfail\n";
  }
  main.close();
  std::ofstream master((dir / "conf" / "master.cf").string());
  master << "127.0.0.1:" << port_ << " inet n - n - - smtpd\n"
         << "pickup unix n - n 60 1 pickup\n"
         << "cleanup unix n - n - 0 cleanup\n"
         << "qmgr unix n - n 300 1 qmgr\n"
         << "rewrite unix - - n - - trivial-rewrite\n"
         << "bounce unix - - n - 0 bounce\n"
         << "defer unix - - n - 0 bounce\n"
         << "trace unix - - n - 0 bounce\n"
         << "verify unix - - n - 1 verify\n"
         << "flush unix n - n 1000? 0 flush\n"
         << "proxymap unix - - n - - proxymap\n"
         << "smtp unix - - n - - smtp\n"
         << "relay unix - - n - - smtp\n"
         << "showq unix n - n - - showq\n"
         << "error unix - - n - - error\n"
         << "retry unix - - n - - error\n"
         << "discard unix - - n - - discard\n"
         << "anvil unix - - n - 1 anvil\n"
         << "scache unix - - n - 1 scache\n"
         << "postlog unix-dgram n - n - 1 postlogd\n";
  master.close();
  started_ = run({"/usr/sbin/postfix", "-c", (dir / "conf").string(), "start"}) == 0 &&
             wait_listening(port_, std::chrono::seconds(20));
}

Postfix::~Postfix() {
  run({"/usr/sbin/postfix", "-c", (dir_ / "conf").string(), "stop"});
  // Wait for the master to be gone before its folders are removed.
  auto until = Clock::now() + std::chrono::seconds(15);
  std::filesystem::path pid_file = dir_ / "queue" / "pid" / "master.pid";
  while (Clock::now() < until) {
    std::ifstream in(pid_file.string());
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string Postfix::log() const {
  std::ifstream in((dir_ / "maillog").string());
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

MilterProcess::MilterProcess(const std::vector<std::string>& args,
                             const std::filesystem::path& log_file) {
  std::vector<std::string> copy{QUARNCRC_MILTER_BIN};
  copy.insert(copy.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start the milter");
}

MilterProcess::~MilterProcess() {
  if (pid_ > 0 && stop() < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int MilterProcess::stop(std::chrono::seconds limit) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  auto until = Clock::now() + limit;
  int status = 0;
  while (Clock::now() < until) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

}  // namespace quarn::testing
