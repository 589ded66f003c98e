// quarncrc-milter: puts quarncrc engines in front of Postfix or Sendmail.
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <libmilter/mfapi.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "milter/engine_pool.h"
#include "milter/milter_app.h"
#include "milter/milter_log.h"
#include "milter/options.h"
#include "support/version.h"

namespace fs = std::filesystem;
using namespace quarn::milter;

namespace {

constexpr int kUsageError = 2;

bool check_dirs(const Options& o, Logger& log) {
  std::error_code ec;
  for (int i = 1; i <= o.engines; ++i) {
    fs::path dir = o.engines == 1 ? fs::path(o.workdir) : fs::path(o.workdir) / std::to_string(i);
    if (!fs::is_directory(dir, ec)) {
      log.error("engine working directory %s does not exist", dir.c_str());
      return false;
    }
  }
  return true;
}

// The spool directory, made absolute and created; it holds only our files,
// so what an earlier run left behind is removed.
std::optional<fs::path> prepare_spool(const Options& o, Logger& log) {
  std::error_code ec;
  fs::path spool = o.spool.empty() ? fs::path(o.workdir) / "spool" : fs::path(o.spool);
  spool = fs::absolute(spool, ec).lexically_normal();
  if (spool.string().find_first_of(" \t\r\n") != std::string::npos) {
    // The engine's command line splits at blanks.
    log.error("spool directory %s must not contain blanks", spool.c_str());
    return std::nullopt;
  }
  if (spool.string().size() > 400) {
    // A SCAN line holds two file names and is cut at 999 characters.
    log.error("spool directory %s is too long", spool.c_str());
    return std::nullopt;
  }
  fs::create_directories(spool, ec);
  if (ec || !fs::is_directory(spool)) {
    log.error("cannot create spool directory %s: %s", spool.c_str(), ec.message().c_str());
    return std::nullopt;
  }
  ::chmod(spool.c_str(), 0700);
  for (const auto& entry : fs::directory_iterator(spool, ec)) {
    auto ext = entry.path().extension();
    if (ext == ".eml" || ext == ".env") fs::remove(entry.path(), ec);
  }
  return spool;
}

std::string unix_socket_path(const Options& o) {
  if (o.socket.starts_with("unix:")) return o.socket.substr(5);
  if (o.socket.starts_with("local:")) return o.socket.substr(6);
  return "";
}

// Gives `path` to the socket group (postfix by default, when it exists).
void give_to_socket_group(const Options& o, const std::string& path, Logger& log) {
  std::string group_name = o.socket_group.empty() ? "postfix" : o.socket_group;
  if (const struct group* g = ::getgrnam(group_name.c_str()); g != nullptr) {
    if (::chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid) != 0) {
      log.error("cannot give %s to group %s", path.c_str(), group_name.c_str());
    }
  } else if (!o.socket_group.empty()) {
    log.error("socket group %s does not exist", group_name.c_str());
  }
}

// A unix socket's folder is created when missing, open to the socket group.
void prepare_socket_dir(const Options& o, Logger& log) {
  std::string path = unix_socket_path(o);
  if (path.empty()) return;
  fs::path dir = fs::path(path).parent_path();
  std::error_code ec;
  if (dir.empty() || fs::exists(dir, ec)) return;
  if (!fs::create_directories(dir, ec)) {
    log.error("cannot create socket folder %s: %s", dir.c_str(), ec.message().c_str());
    return;
  }
  ::chmod(dir.c_str(), 0750);
  give_to_socket_group(o, dir.string(), log);
}

// libmilter answers the end of a message with several packets (each header
// change, then the verdict). With Nagle's algorithm on, the verdict waits for
// the mail server's delayed acknowledgement of the first, some 40 ms per
// message. Accepted sockets inherit TCP_NODELAY from the listening socket,
// which libmilter does not hand out: it is the one listening TCP socket of
// this process.
void disable_nagle_on_listener(Logger& log) {
  for (int fd = 0; fd < 1024; ++fd) {
    int listening = 0;
    int domain = 0;
    socklen_t len = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening) continue;
    len = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) continue;
    if (domain != AF_INET && domain != AF_INET6) continue;
    int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
      log.error("cannot set TCP_NODELAY on the milter socket");
    }
  }
}

// Lets the mail server's own user reach a unix socket.
void open_socket_to_mail_server(const Options& o, Logger& log) {
  std::string path = unix_socket_path(o);
  if (path.empty()) return;
  give_to_socket_group(o, path, log);
  if (::chmod(path.c_str(), static_cast<mode_t>(o.socket_mode)) != 0) {
    log.error("cannot set the permissions of socket %s", path.c_str());
  }
}

void warn_fixed_settings(const Options& old, const Options& now, Logger& log) {
  if (old.socket != now.socket || old.workdir != now.workdir || old.engine != now.engine ||
      old.engines != now.engines || old.spool != now.spool ||
      old.socket_mode != now.socket_mode || old.socket_group != now.socket_group) {
    log.error("socket, workdir, engine, engines, spool and socket settings take effect "
              "at the next start");
  }
}

}  // namespace

int main(int argc, char** argv) {
  Settings command_line;
  std::string error;
  switch (parse_command_line(argc, argv, command_line, error)) {
    case CommandLine::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case CommandLine::kVersion:
      std::printf("quarncrc-milter %s (%s %s)\n", QUARN_MILTER_VERSION, quarn::kProductName,
                  quarn::kBuildDate);
      return 0;
    case CommandLine::kError:
      std::fprintf(stderr, "quarncrc-milter: %s\nTry quarncrc-milter --help\n", error.c_str());
      return kUsageError;
    case CommandLine::kRun:
      break;
  }
  Options options;
  if (auto bad = load_options(command_line, options)) {
    std::fprintf(stderr, "quarncrc-milter: %s\nTry quarncrc-milter --help\n", bad->c_str());
    return kUsageError;
  }
  Logger log;
  log.use_syslog(options.syslog);

  std::string program = find_engine_program(options.engine);
  if (program.empty()) {
    log.error("engine program %s not found", options.engine.empty() ? "quarncrc"
                                                                     : options.engine.c_str());
    return 1;
  }
  if (!check_dirs(options, log)) return 1;
  auto spool = prepare_spool(options, log);
  if (!spool) return 1;

  // Every thread started from here on (engines, libmilter) inherits these
  // signals blocked; this thread alone waits for them below. On Linux a
  // signal sent to the process goes to the main thread first when it is
  // waiting for it, so libmilter's own signal thread does not see them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::atomic<int> timeout_ms{options.timeout * 1000};
  EnginePool engines(log, program, options.workdir, options.engines, timeout_ms);
  auto current = std::make_shared<const Options>(options);
  MilterApp app(log, current, *spool, engines, timeout_ms);

  prepare_socket_dir(options, log);
  if (!app.install() || smfi_setconn(const_cast<char*>(options.socket.c_str())) != MI_SUCCESS ||
      smfi_opensocket(true) != MI_SUCCESS) {
    log.error("cannot listen on %s", options.socket.c_str());
    engines.stop();
    return 1;
  }
  open_socket_to_mail_server(options, log);
  disable_nagle_on_listener(log);
  log.info("listening on %s with %d engine(s) (%s), %s", options.socket.c_str(), options.engines,
           program.c_str(), options.on_failure == FailureAction::kTempfail
                                ? "tempfail on failure" : "accept on failure");

  pthread_t main_thread = pthread_self();
  std::thread milter_loop([&] {
    int result = smfi_main();
    if (result != MI_SUCCESS) log.error("milter loop failed");
    pthread_kill(main_thread, SIGUSR1);
  });

  while (true) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGHUP) {
      Options reloaded;
      if (auto bad = load_options(command_line, reloaded)) {
        log.error("configuration not reloaded: %s", bad->c_str());
        continue;
      }
      warn_fixed_settings(*app.options(), reloaded, log);
      app.reload(std::make_shared<const Options>(reloaded));
      log.info("configuration reloaded");
      continue;
    }
    if (signal == SIGTERM || signal == SIGINT) {
      log.info("stopping: finishing the messages in flight");
    } else {
      log.error("milter loop ended");
    }
    break;
  }
  smfi_stop();
  milter_loop.join();
  if (!app.wait_idle(std::chrono::milliseconds(timeout_ms.load()) + std::chrono::seconds(10))) {
    log.error("messages still in flight at stop");
  }
  engines.stop();
  log.info("stopped");
  return 0;
}
