// The feed server with the real engine, outside test mode: the engine's
// own update client, forced by its trigger file, against quarncrc-feed on
// 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "tests/e2e/signature_of.h"
#include "tests/feed/feed_process.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kSpam =
    "From: Deals <deals@example.org>\r\nSubject: Your prize is waiting\r\n"
    "Received: from mail (mail [198.51.100.7]) by mx with SMTP id 42\r\n"
    "Message-ID: <prize@example.org>\r\nTo: you@example.com\r\n\r\n"
    "Claim your prize now.\r\nOnly today.\r\nReply at once.\r\n";

constexpr std::string_view kRules = "if (rexp(subject, prize)) reject prize\n";
constexpr std::string_view kNewRules = "if (rexp(subject, lottery)) reject lottery\n";

std::string engine_ini(int port, std::string_view password) {
  return "AUTO_UPDATE false\nSKIP_FILTER true\nHTTP_HOST 127.0.0.1\nHTTP_PORT " +
         std::to_string(port) + "\nQUARN_EMAIL ops@example.com\nQUARN_PASS " +
         std::string(password) + "\n";
}

// Forces an update run and waits (the engine looks for the trigger every 5
// seconds) until `done` holds. The engine honours a trigger only when its
// modification time differs from the last one's, so each gets its own.
bool update_until(const TempDir& dir, const std::function<bool()>& done) {
  static int serial = 0;
  dir.write("quarncrc.update", "");
  std::filesystem::last_write_time(dir.path() / "quarncrc.update",
                                   std::filesystem::file_time_type::clock::now() -
                                       std::chrono::hours(1) + std::chrono::seconds(++serial * 10));
  for (int i = 0; i < 300; ++i) {
    if (!dir.exists("quarncrc.update") && done()) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

TEST(FeedWithEngine, EngineFollowsReportsDeletesAndRules) {
  TempDir feed;
  TempDir site;
  feed.write("spam.eml", kSpam);
  feed.write("rules.dat", kRules);
  feed.write("new-rules.dat", kNewRules);
  ASSERT_EQ(run_feed(feed.path(), {"account", "add", "ops@example.com"}, "s3cret\n").exit_code, 0);
  ASSERT_EQ(run_feed(feed.path(), {"rules", "set", feed.file("rules.dat")}).exit_code, 0);
  EXPECT_EQ(run_feed(feed.path(), {"report", feed.file("spam.eml")}).out,
            feed.file("spam.eml") + ": made 1 count 1 other 0 status Suspected\n");

  FeedServerProcess server(feed.path(), {"--require-account"});
  site.write("quarncrc.ini", engine_ini(server.port(), "s3cret"));
  site.write("spam.eml", kSpam);
  EngineProcess engine(site.path(), {});
  std::string answer;
  const auto scan_shows = [&](std::string_view text) {
    return [&, text] {
      answer = engine.command("1 SCAN spam.eml e.env");
      return answer.find(text) != std::string::npos;
    };
  };

  // The records are applied before the rules file is fetched, so wait for both.
  const auto matched = scan_shows("\nX-Quarn-Match: 1 Suspected Advertising 1\n");
  EXPECT_TRUE(update_until(site, [&] { return matched() && site.read("filter.dat") == kRules; }))
      << answer << read_engine_log(site.path());

  // A second report raises the count; the engine receives the record again.
  EXPECT_EQ(run_feed(feed.path(), {"report", feed.file("spam.eml")}).out,
            feed.file("spam.eml") + ": raised 1 count 2 other 0 status Suspected\n");
  EXPECT_TRUE(update_until(site, scan_shows("\nX-Quarn-Match: 2 Suspected Advertising 1\n")))
      << answer << read_engine_log(site.path()) << server.log();

  // A delete and a new rules file reach the engine in one update.
  ASSERT_EQ(run_feed(feed.path(), {"delete", "1"}).exit_code, 0);
  ASSERT_EQ(run_feed(feed.path(), {"rules", "set", feed.file("new-rules.dat")}).exit_code, 0);
  EXPECT_TRUE(update_until(site, [&] {
    answer = engine.command("2 SCAN spam.eml e.env");
    return answer.find("X-Quarn-Match") == std::string::npos && site.read("filter.dat") == kNewRules;
  })) << answer;
  EXPECT_EQ(engine.quit(), 0);
  const std::string log = read_engine_log(site.path());
  EXPECT_EQ(log.find("Count does not match"), std::string::npos) << log;
  EXPECT_EQ(log.find("Attempted to delete unknown message"), std::string::npos) << log;

  // The journal the engine keeps holds nothing of the deleted record.
  EXPECT_EQ(site.read("quarncrc.db").find("SET|1|"), std::string::npos) << site.read("quarncrc.db");

  // An engine with a wrong password is refused and says so in its log.
  TempDir other;
  other.write("quarncrc.ini", engine_ini(server.port(), "guess"));
  EngineProcess refused(other.path(), {});
  EXPECT_TRUE(update_until(other, [&] {
    return read_engine_log(other.path()).find("do_update - Failure from server - (wrong password)") !=
           std::string::npos;
  })) << read_engine_log(other.path());
  EXPECT_EQ(refused.quit(), 0);
  EXPECT_EQ(server.stop(), 0);
  EXPECT_NE(server.log().find("refused a request from 127.0.0.1: wrong password"), std::string::npos);
}

}  // namespace
}  // namespace quarn::testing
