// The milter between a real Postfix and a real engine: messages go over SMTP
// to Postfix on 127.0.0.1, Postfix asks the milter, and relays what it
// accepts to an SMTP sink in this test.
#include <signal.h>

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "tests/milter/mail_harness.h"
#include "tests/testing/corpus.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

bool has_prefix_nocase(const std::string& line, std::string_view prefix) {
  return line.size() >= prefix.size() &&
         strncasecmp(line.data(), prefix.data(), prefix.size()) == 0;
}

bool is_verdict_line(const std::string& line) {
  return has_prefix_nocase(line, "X-Quarn-") || has_prefix_nocase(line, "X-SpamDetect:");
}

// The header lines named `name` in a message, values without the name.
std::vector<std::string> header_values(const std::string& message, std::string_view name) {
  std::vector<std::string> values;
  std::string head = message.substr(0, message.find("\r\n\r\n") + 2);
  for (std::size_t pos = 0; pos < head.size();) {
    std::size_t eol = head.find("\r\n", pos);
    std::string line = head.substr(pos, eol - pos);
    pos = eol + 2;
    if (has_prefix_nocase(line, std::string(name) + ":")) {
      values.push_back(line.substr(name.size() + 2));
    }
  }
  return values;
}

std::string sink_message_for(const std::vector<SinkMessage>& all, const std::string& rcpt) {
  for (const auto& m : all) {
    for (const auto& r : m.recipients) {
      if (r == rcpt) return m.data;
    }
  }
  return "";
}

class MilterPostfixTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!postfix_installed()) return;
    root_ = std::make_unique<TempDir>();
    sink_ = std::make_unique<SmtpSink>();
    milter_port_ = free_port();
    postfix_ = std::make_unique<Postfix>(root_->path() / "postfix", sink_->port(),
                                         "inet:127.0.0.1:" + std::to_string(milter_port_));
  }
  static void TearDownTestSuite() {
    postfix_.reset();
    sink_.reset();
    root_.reset();
  }

  void SetUp() override {
    if (!postfix_installed()) GTEST_SKIP() << "postfix is not installed (scripts/install-deps.sh)";
    ASSERT_TRUE(postfix_->started()) << postfix_->log();
    fs::copy(fs::path(QUARN_SOURCE_DIR) / "examples", work_.path() / "engine",
             fs::copy_options::recursive);
    fs::copy(fs::path(QUARN_SOURCE_DIR) / "examples", work_.path() / "direct",
             fs::copy_options::recursive);
  }
  void TearDown() override {
    if (milter_) {
      EXPECT_EQ(milter_->stop(), 0);
    }
    milter_.reset();
    // Every message's spool files are gone once it is handled.
    std::error_code ec;
    EXPECT_TRUE(fs::is_empty(work_.path() / "engine" / "spool", ec) || ec);
  }

  void start_milter(std::vector<std::string> extra = {}) {
    milter_.reset();
    std::vector<std::string> args = {"--socket", "inet:" + std::to_string(milter_port_) + "@127.0.0.1",
                                     "--workdir", (work_.path() / "engine").string(),
                                     "--timeout", "20"};
    args.insert(args.end(), extra.begin(), extra.end());
    milter_ = std::make_unique<MilterProcess>(args, work_.path() / "milter.log");
    ASSERT_TRUE(wait_listening(milter_port_, seconds(20))) << milter_log();
  }
  std::string milter_log() const { return work_.read("milter.log"); }

  // What a direct SCAN of `message` (CR LF form) answers.
  std::string direct_crc(EngineProcess& engine, const std::string& message) {
    work_.write("direct/m.eml", message);
    work_.write("direct/m.env", "To: <r@example.org>\nFrom: <s@example.net>\nIp: 127.0.0.1\n\n");
    std::string answer = engine.command("1 SCAN m.eml m.env", std::chrono::milliseconds(20000));
    std::size_t at = answer.find("X-Quarn-CRC: ");
    if (at == std::string::npos) return "no CRC in: " + answer;
    return answer.substr(at + 13, answer.find('\n', at) - at - 13);
  }

  // Waits for the messages sent to these recipients; their data, in order.
  std::vector<std::string> delivered(const std::vector<std::string>& recipients, seconds limit) {
    std::vector<std::string> out(recipients.size());
    auto until = std::chrono::steady_clock::now() + limit;
    while (true) {
      auto all = sink_->wait_for(0, seconds(0));
      bool complete = true;
      for (std::size_t i = 0; i < recipients.size(); ++i) {
        out[i] = sink_message_for(all, recipients[i]);
        complete = complete && !out[i].empty();
      }
      if (complete || std::chrono::steady_clock::now() > until) return out;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  static int next_id() { return ++sequence_; }

  TempDir work_;
  std::unique_ptr<MilterProcess> milter_;

  static inline std::unique_ptr<TempDir> root_;
  static inline std::unique_ptr<SmtpSink> sink_;
  static inline std::unique_ptr<Postfix> postfix_;
  static inline int milter_port_ = 0;
  static inline int sequence_ = 0;
};

TEST_F(MilterPostfixTest, CorpusMessagesArriveWithTheSignatureOfWhatTheMilterSaw) {
  auto files = corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  start_milter();
  std::vector<Outgoing> out;
  std::vector<std::string> recipients;
  for (std::size_t i = 0; i < files.size() && out.size() < 60; i += files.size() / 60 + 1) {
    std::string text = as_sent(files[i]);
    if (text.size() > 300000) continue;
    recipients.push_back("corpus" + std::to_string(next_id()) + "@example.org");
    out.push_back({recipients.back(), text});
  }
  auto replies = smtp_send(postfix_->port(), out);
  for (const auto& r : replies) EXPECT_TRUE(r.starts_with("250")) << r;
  auto got = delivered(recipients, seconds(120));

  EngineProcess engine(work_.path() / "direct", {});
  std::size_t unchanged = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    ASSERT_FALSE(got[i].empty()) << "not delivered: " << recipients[i] << "\n" << milter_log();
    auto crc = header_values(got[i], "X-Quarn-CRC");
    ASSERT_EQ(crc.size(), 1u) << got[i].substr(0, 2000);
    // Postfix puts its own Received line on top; the milter's lines go
    // below the others. What remains is what the milter saw, unless
    // Postfix changed the message on the way (for example by adding a
    // missing Message-ID or Date).
    std::string seen = drop_headers(got[i], is_verdict_line);
    seen.erase(0, seen.find("\r\n") + 2);
    while (seen.starts_with("\t") || seen.starts_with(" ")) seen.erase(0, seen.find("\r\n") + 2);
    if (seen != drop_headers(out[i].data, is_verdict_line)) continue;
    ++unchanged;
    EXPECT_EQ(crc[0], direct_crc(engine, out[i].data)) << recipients[i];
  }
  // Most corpus messages travel unchanged, so the comparison means something.
  EXPECT_GE(unchanged, out.size() / 2);
}

TEST_F(MilterPostfixTest, RejectMatchRejectsAKnownSignatureAndForgedVerdictsAreRemoved) {
  std::string spam =
      to_crlf("From: Winner <winner@lottery.example>\nTo: you@example.org\n"
              "Subject: You have won\nMessage-ID: <win-1@lottery.example>\n"
              "Date: Tue, 8 Dec 2026 10:00:00 +0000\n\n"
              "Congratulations, you have won a prize.\nSend your bank details.\n"
              "Reply today to claim it.\nThe lottery office.\n");
  {
    EngineProcess engine(work_.path() / "direct", {});
    std::string crc = direct_crc(engine, spam);
    ASSERT_EQ(crc.front(), 'A') << crc;
    work_.write("engine/quarncrc.db", "SET|4711|" + std::to_string(std::time(nullptr)) +
                                          "|25|0|2|1|" + crc + "|\n");
  }
  start_milter({"--reject-match", "--reject-text", "Known spam here"});

  std::string forged =
      to_crlf("From: a@example.net\nTo: b@example.org\nSubject: honest mail\n"
              "X-Quarn-Match: 99 Spam Porn 1\nx-spamdetect: ******: 6.0 forged\n"
              "Message-ID: <honest-1@example.net>\nDate: Tue, 8 Dec 2026 10:00:00 +0000\n\n"
              "Just a note.\n");
  std::string forged_rcpt = "forged" + std::to_string(next_id()) + "@example.org";
  auto replies = smtp_send(postfix_->port(),
                           {{"spam" + std::to_string(next_id()) + "@example.org", spam},
                            {forged_rcpt, forged}});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_TRUE(replies[0].starts_with("550 5.7.1 Known spam here")) << replies[0];
  EXPECT_TRUE(replies[1].starts_with("250")) << replies[1];

  auto got = delivered({forged_rcpt}, seconds(60));
  ASSERT_FALSE(got[0].empty()) << milter_log();
  EXPECT_EQ(header_values(got[0], "X-Quarn-Match").size(), 0u) << got[0];
  EXPECT_EQ(header_values(got[0], "X-SpamDetect").size(), 0u) << got[0];
  EXPECT_EQ(header_values(got[0], "X-Quarn-CRC").size(), 1u) << got[0];
  EXPECT_NE(milter_log().find("verdict=rejected total="), std::string::npos) << milter_log();
  EXPECT_NE(milter_log().find("match=25 Spam Porn 4711"), std::string::npos) << milter_log();
}

TEST_F(MilterPostfixTest, AMessageAtTheHoldScoreIsHeldInPostfix) {
  start_milter({"--hold-score", "5"});
  std::string spam = to_crlf(read_file(QUARN_SOURCE_DIR "/examples/messages/spam-1.eml"));
  std::string rcpt = "hold" + std::to_string(next_id()) + "@example.org";
  auto reply = smtp_send(postfix_->port(), {{rcpt, spam}});
  EXPECT_TRUE(reply[0].starts_with("250")) << reply[0];
  EXPECT_NE(milter_log().find("verdict=held"), std::string::npos) << milter_log();
  auto until = std::chrono::steady_clock::now() + seconds(20);
  while (postfix_->log().find("milter-hold") == std::string::npos &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(postfix_->log().find("milter-hold"), std::string::npos) << postfix_->log();
}

TEST_F(MilterPostfixTest, AfterTheEngineIsKilledTheNextMessageIsScannedAgain) {
  start_milter();
  auto message = [](int n) {
    return to_crlf("From: a@example.net\nTo: b@example.org\nSubject: note " + std::to_string(n) +
                   "\n\nbody " + std::to_string(n) + "\n");
  };
  std::string first = "kill" + std::to_string(next_id()) + "@example.org";
  ASSERT_TRUE(smtp_send(postfix_->port(), {{first, message(1)}})[0].starts_with("250"));
  ASSERT_FALSE(delivered({first}, seconds(60))[0].empty());

  std::ifstream pid_file((work_.path() / "engine" / "quarncrc.pid").string());
  long pid = 0;
  ASSERT_TRUE(pid_file >> pid);
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  // A message that reaches the milter before it has seen the engine die is
  // answered with the failure policy (the server tries again later); the
  // recovery under test starts once the death is noticed.
  const auto until = std::chrono::steady_clock::now() + seconds(30);
  while (milter_log().find("engine 1: exited") == std::string::npos &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  std::string second = "kill" + std::to_string(next_id()) + "@example.org";
  auto reply = smtp_send(postfix_->port(), {{second, message(2)}});
  EXPECT_TRUE(reply[0].starts_with("250")) << reply[0] << "\n" << milter_log();
  auto got = delivered({second}, seconds(60));
  ASSERT_FALSE(got[0].empty()) << milter_log();
  EXPECT_EQ(header_values(got[0], "X-Quarn-CRC").size(), 1u);
  EXPECT_NE(milter_log().find("engine 1: exited"), std::string::npos) << milter_log();
}

TEST_F(MilterPostfixTest, FiftyConcurrentSessionsOfTwentyMessagesAllArriveTagged) {
  auto files = corpus_files();
  start_milter();
  constexpr int kSessions = 50;
  constexpr int kPerSession = 20;
  std::vector<std::vector<Outgoing>> sessions(kSessions);
  std::vector<std::string> recipients;
  int base = next_id() * 10000;
  for (int s = 0; s < kSessions; ++s) {
    for (int m = 0; m < kPerSession; ++m) {
      std::string rcpt = "load" + std::to_string(base + s * kPerSession + m) + "@example.org";
      std::string text;
      if (!files.empty()) text = as_sent(files[(s * kPerSession + m) % files.size()]);
      if (text.empty() || text.size() > 100000) {
        text = to_crlf("From: a@example.net\nSubject: load\n\nmessage " + rcpt + "\n");
      }
      sessions[s].push_back({rcpt, text});
      recipients.push_back(rcpt);
    }
  }
  std::vector<std::vector<std::string>> replies(kSessions);
  std::vector<std::thread> clients;
  for (int s = 0; s < kSessions; ++s) {
    clients.emplace_back([&, s] { replies[s] = smtp_send(postfix_->port(), sessions[s]); });
  }
  for (auto& c : clients) c.join();
  for (const auto& session : replies) {
    for (const auto& r : session) ASSERT_TRUE(r.starts_with("250")) << r << "\n" << milter_log();
  }
  auto got = delivered(recipients, seconds(240));
  int untagged = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_FALSE(got[i].empty()) << "not delivered: " << recipients[i];
    if (header_values(got[i], "X-Quarn-CRC").size() != 1) ++untagged;
  }
  EXPECT_EQ(untagged, 0);
}

}  // namespace
}  // namespace quarn::testing

namespace quarn::testing {
namespace {

TEST_F(MilterPostfixTest, AHungEngineIsKilledAndTheFailureActionApplies) {
  // An engine that reads its commands and never answers.
  work_.write("hung-engine", "#!/bin/sh\nexec sleep 600\n");
  fs::permissions(work_.path() / "hung-engine", fs::perms::owner_all);
  auto message = to_crlf("From: a@example.net\nTo: b@example.org\nSubject: hung\n\nbody\n");
  std::string engine = (work_.path() / "hung-engine").string();

  start_milter({"--engine", engine, "--timeout", "1"});
  auto reply = smtp_send(postfix_->port(), {{"hung" + std::to_string(next_id()) + "@example.org",
                                             message}});
  EXPECT_TRUE(reply[0].starts_with("451 4.3.0")) << reply[0];
  EXPECT_NE(milter_log().find("did not answer within 1 s and was killed"), std::string::npos)
      << milter_log();
  EXPECT_NE(milter_log().find("verdict=tempfail"), std::string::npos) << milter_log();
  EXPECT_EQ(milter_->stop(), 0);

  start_milter({"--engine", engine, "--timeout", "1", "--on-failure", "accept"});
  std::string rcpt = "hung" + std::to_string(next_id()) + "@example.org";
  reply = smtp_send(postfix_->port(), {{rcpt, message}});
  EXPECT_TRUE(reply[0].starts_with("250")) << reply[0];
  auto got = delivered({rcpt}, seconds(60));
  ASSERT_FALSE(got[0].empty());
  EXPECT_EQ(header_values(got[0], "X-Quarn-CRC").size(), 0u);
  EXPECT_NE(milter_log().find("verdict=accepted unscanned"), std::string::npos) << milter_log();
}

}  // namespace
}  // namespace quarn::testing
