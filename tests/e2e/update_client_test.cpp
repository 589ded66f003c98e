// Update runs of the real binary against a scripted update server on
// 127.0.0.1: the trigger file, the start-up update, and the database file
// a restarted engine loads.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "signature/msgcrc.h"
#include "signature/signature_text.h"
#include "tests/e2e/signature_of.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/http_server.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kSpam =
    "From: Deals <deals@example.org>\r\nSubject: Your prize is waiting\r\n"
    "Received: from mail (mail [198.51.100.7]) by mx with SMTP id 42\r\n"
    "Message-ID: <prize@example.org>\r\nTo: you@example.com\r\n\r\n"
    "Claim your prize now.\r\nOnly today.\r\n";

class UpdateClientE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    sig = signature_of_message(kSpam);
    stamp = static_cast<std::int32_t>(std::time(nullptr)) - 100;
    set_line = "SET|321|" + std::to_string(stamp) + "|7|0|2|0|" + sig + "|";
  }
  // Settings reaching only the scripted server; no automatic updates.
  std::string ini(std::string_view extra = "") const {
    return "AUTO_UPDATE false\nHTTP_HOST 127.0.0.1\nHTTP_PORT " + std::to_string(server.port()) +
           "\nSKIP_FILTER true\n" + std::string(extra);
  }
  std::string matched(std::string_view tag) const {
    return std::string(tag) + " OK 7 Spam Advertising 321 - CRC matched (Score: 17/8 matching 5)\n";
  }

  TempDir dir;
  HttpServer server;
  std::string sig;
  std::int32_t stamp = 0;
  std::string set_line;
};

TEST_F(UpdateClientE2E, TriggerFileFetchesSignaturesThatSurviveARestart) {
  dir.write("quarncrc.ini", ini());
  server.add_answer(http_answer(
      "HTTP/1.1 200 OK", {"x-quarn-count: 1", "x-quarn-filter: 1061164800"}, set_line + "\r\n"));
  server.add_answer(http_answer("HTTP/1.0 200 OK", {"x-quarn-filter: 1061164800"},
                                "if (rexp(subject, prize)) reject prize\n"));
  {
    EngineProcess engine(dir.path(), {});
    EXPECT_EQ(engine.command("1 FINDCRC " + sig), "1 OK 0 None None 0 - Not Found\n");
    dir.write("quarncrc.update", "");
    // The update thread looks for the trigger every 5 seconds.
    std::string answer;
    for (int i = 0; i < 120 && answer != matched("2"); ++i) {
      std::this_thread::sleep_for(100ms);
      answer = engine.command("2 FINDCRC " + sig);
    }
    EXPECT_EQ(answer, matched("2"));
    EXPECT_FALSE(dir.exists("quarncrc.update"));
    EXPECT_EQ(engine.quit(), 0);
  }
  EXPECT_EQ(server.connections(), 2u);
  EXPECT_EQ(dir.read("filter.dat"), "if (rexp(subject, prize)) reject prize\n");
  const std::string db = dir.read("quarncrc.db");
  EXPECT_TRUE(db.starts_with(set_line + "\nTIME|" + std::to_string(stamp) + " ")) << db;
  EXPECT_TRUE(db.ends_with(" 1061164800\n")) << db;
  const std::string log = read_engine_log(dir.path());
  EXPECT_NE(
      log.find("Info: do_update - Database updated sucessful (" + std::to_string(stamp) + ")\n"),
      std::string::npos)
      << log;

  // Without the server, a restarted engine matches from the file alone.
  server.stop();
  EngineProcess again(dir.path(), {});
  EXPECT_EQ(again.command("3 FINDCRC " + sig), matched("3"));
  EXPECT_EQ(again.quit(), 0);
  EXPECT_EQ(server.connections(), 2u);
}

TEST_F(UpdateClientE2E, StartUpUpdateRunsBeforeTheFirstAnswer) {
  dir.write("quarncrc.ini", ini("UPDATE_START true\n"));
  ScriptedAnswer slow;
  slow.bytes = http_answer("HTTP/1.1 200 OK", {"x-quarn-count: 1"}, set_line + "\n");
  slow.delay_ms = 1500;
  server.add_answer(slow);
  EngineProcess engine(dir.path(), {});
  // Sent at once; answered only once the start-up update has applied the line.
  EXPECT_EQ(engine.command("1 FINDCRC " + sig), matched("1"));
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_NE(
      server.requests()[0].find("GET /cgi-bin/spamcgi.cgi?cmd=update2&from=1&email=&password= "
                                "HTTP/1.1\r\n"),
      std::string::npos);
}

}  // namespace
}  // namespace quarn::testing
