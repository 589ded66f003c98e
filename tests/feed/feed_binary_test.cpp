// The quarncrc-feed binary: crash safety of its store, reports while it
// serves, and requests that are wrong, oversized or slow.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "signature/signature_text.h"
#include "tests/feed/feed_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

using namespace std::chrono_literals;

std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(FeedBinary, KillDuringImportLeavesNoPartialState) {
  TempDir dir;
  const std::string stamp = std::to_string(std::time(nullptr));
  {
    std::ofstream out(dir.file("big.txt"));
    for (std::uint32_t i = 1; i <= 100000; ++i) {
      PartCrcs crcs{};
      for (int p = 0; p < kPartCount; ++p) crcs[p] = i * 2654435761u + static_cast<std::uint32_t>(p);
      out << "SET|" << i << "|" << stamp << "|1|0|2|0|A" << make_signature_text(crcs) << "|\n";
    }
  }
  ASSERT_EQ(run_feed(dir.path(), {"stats"}).exit_code, 0);  // creates the store
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execl(QUARNCRC_FEED_BIN, QUARNCRC_FEED_BIN, "--data", dir.path().c_str(), "import",
          dir.file("big.txt").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Kill it once the uncommitted import has spilled into the journal.
  const std::filesystem::path wal = dir.path() / "feed.sqlite-wal";
  for (int i = 0; i < 2000; ++i) {
    std::error_code ec;
    if (std::filesystem::file_size(wal, ec) > (4u << 20)) break;
    std::this_thread::sleep_for(2ms);
  }
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the import ended before it could be killed";

  FeedRun after = run_feed(dir.path(), {"export"});
  EXPECT_EQ(after.exit_code, 0) << after.err;
  EXPECT_EQ(after.out, "");
  EXPECT_NE(run_feed(dir.path(), {"stats"}).out.find("last stamp: -\n"), std::string::npos);

  after = run_feed(dir.path(), {"import", dir.file("big.txt")});
  EXPECT_EQ(after.exit_code, 0) << after.err;
  EXPECT_EQ(count_lines(run_feed(dir.path(), {"export"}).out), 100000u);
}

TEST(FeedBinary, ConcurrentReportsWhileServing) {
  TempDir dir;
  ASSERT_EQ(run_feed(dir.path(), {"account", "add", "ops@example.com"}, "pw\n").exit_code, 0);
  FeedServerProcess server(dir.path());
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  std::mutex ids_mutex;
  std::set<std::string> ids;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 15; ++i) {
        const std::string body = "From: x@example.org\r\nSubject: offer " + std::to_string(t) +
                                 " " + std::to_string(i) + " now\r\nTo: y@example.com\r\n\r\nbody " +
                                 std::to_string(t * 100 + i) + "\r\nmore text here\r\n";
        const std::string answer = http_exchange(
            server.port(),
            "POST /cgi-bin/spamcgi.cgi?cmd=report&email=ops%40example.com&password=pw HTTP/1.1\r\n"
            "Host: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        if (header_of(answer, "x-quarn-record").empty()) ++failures;
        std::lock_guard<std::mutex> hold(ids_mutex);
        ids.insert(header_of(answer, "x-quarn-record"));
      }
    });
    clients.emplace_back([&] {
      for (int i = 0; i < 15; ++i) {
        const std::string answer = http_get(server.port(), "/cgi-bin/spamcgi.cgi?cmd=update2&from=1");
        const std::string body = body_of(answer);
        if (header_of(answer, "x-quarn-count") != std::to_string(count_lines(body)) ||
            header_of(answer, "Content-Length") != std::to_string(body.size())) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& c : clients) c.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(ids.size(), 60u);
  const std::string answer = http_get(server.port(), "/cgi-bin/spamcgi.cgi?cmd=update2&from=1");
  EXPECT_EQ(header_of(answer, "x-quarn-count"), "61");
  EXPECT_EQ(server.stop(), 0);
}

TEST(FeedBinary, BadRequestsAreRefusedAndBounded) {
  TempDir dir;
  FeedServerProcess server(dir.path(), {"--request-timeout", "600"});
  const std::string path = "/cgi-bin/spamcgi.cgi";
  const struct {
    std::string target;
    std::string reason;
  } cases[] = {
      {path, "missing command"},
      {path + "?cmd=update3&from=5", "unknown command"},
      {path + "?cmd=update2", "malformed from"},
      {path + "?cmd=update2&from=12ab", "malformed from"},
      {path + "?cmd=update2&from=-5", "malformed from"},
      {path + "?cmd=update2&from=99999999999", "malformed from"},
      {path + "?cmd=update2&from=1&email=a%0d%0ab", "malformed email"},
      {path + "?cmd=report&email=a&password=b", "method not allowed"},
      {"/other?cmd=update2&from=1", "unknown path"},
      {path + "?cmd=update2&from=1&pad=" + std::string(10240, 'x'), "request too long"},
  };
  for (const auto& c : cases) {
    const std::string answer = http_get(server.port(), c.target);
    EXPECT_EQ(header_of(answer, "x-quarn-error"), c.reason) << c.target.substr(0, 80);
    EXPECT_EQ(header_of(answer, "Connection"), "close");
    EXPECT_EQ(header_of(answer, "Content-Length"), std::to_string(body_of(answer).size()));
  }
  EXPECT_EQ(header_of(http_get(server.port(), path + "?cmd=filter2"), "x-quarn-error"),
            "no rules file");

  // A client that trickles its request is cut off after the time limit.
  const auto start = std::chrono::steady_clock::now();
  const std::string trickled = http_exchange(
      server.port(), "GET " + path + "?cmd=update2&from=1 HTTP/1.1\r\nHost: x\r\n\r\n", 10s, 200ms);
  EXPECT_EQ(trickled, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);

  // The server still answers, and says what happened.
  EXPECT_EQ(header_of(http_get(server.port(), path + "?cmd=update2&from=1"), "x-quarn-count"), "0");
  EXPECT_EQ(server.stop(), 0);
  EXPECT_NE(server.log().find("closing a connection that sent no whole request within 600 ms"),
            std::string::npos);
}

}  // namespace
}  // namespace quarn::testing
