// The update run against a scripted HTTP server on 127.0.0.1: answers,
// counts, refusals, rules-file downloads, the journal and its rewrite, the
// update position, failing files and slow servers.
#include "update/update_client.h"

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "filter/rule_listing.h"
#include "tests/testing/http_server.h"
#include "tests/testing/temp_dir.h"
#include "tests/update/update_fixtures.h"

namespace quarn::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kOldRules =
    "call rexp_fast(2, \"free\\s+money\", money)\n"
    "if (evalflags(\"HIGH_CAPS && !FROMEQTO\")) reject caps\n";
constexpr std::string_view kNewRules = "call rexp_fast(1, ab, ab)\ncall rexp_fast(1, cd, cd)\n";
constexpr std::string_view kBrokenRules = "call rexp_fast(9, other, other)\ncall (rexp(body, x))\n";
constexpr std::int32_t kOffered = 1700000500;

std::string ok_answer(const std::vector<std::string>& headers, std::string_view body) {
  return http_answer("HTTP/1.1 200 OK", headers, body);
}

std::string rules_answer(std::string_view rules, std::int32_t version = kOffered) {
  return http_answer("HTTP/1.0 200 OK", {"x-quarn-filter: " + std::to_string(version)}, rules);
}

std::string lines_of(const std::vector<std::string>& lines) {
  std::string body;
  for (const auto& line : lines) body += line + "\r\n";
  return body;
}

// A port on 127.0.0.1 that nothing listens on.
int closed_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// A connection record whose second open fails.
class SecondOpenFails final : public UpdateLink {
 public:
  explicit SecondOpenFails(Log& log) : tcp_(log, UpdateLinkLimits{2000, 2000, 2000}) {}
  int open(const std::string& host, int port) override {
    return ++opens_ == 1 ? tcp_.open(host, port) : 0;
  }
  std::string error() override { return opens_ == 1 ? tcp_.error() : "Connection refused"; }
  int send(const std::string& text) override { return tcp_.send(text); }
  int readline(std::string& line, std::size_t size) override { return tcp_.readline(line, size); }
  int read(char* data, std::size_t size) override { return tcp_.read(data, size); }
  void close() override { tcp_.close(); }
  int read_limit_ms() const override { return tcp_.read_limit_ms(); }

 private:
  TcpUpdateLink tcp_;
  int opens_ = 0;
};

// The run's whole world: the server, the database with its file, the filter
// in service (the old rules) and the client with short connection limits.
struct ClientWorld {
  explicit ClientWorld(std::string_view ini = "", bool second_open_fails = false)
      : world("HTTP_HOST 127.0.0.1\nHTTP_PORT " + std::to_string(server.port()) + "\n" +
              std::string(ini)),
        file(world.commands, DbFileOptions{world.h.dir.path().string(), {}, 1}),
        filter(world.h.log),
        client(world.h.log, *world.h.settings, world.commands, file, world.state, filter, [&] {
          UpdateClientOptions options;
          options.limits = {2000, 1500, 2000};
          options.filter_wait_ms = 200;
          if (second_open_fails) {
            options.make_link = [this] { return std::make_unique<SecondOpenFails>(world.h.log); };
          }
          return options;
        }()) {
    dir().write("filter.dat", kOldRules);
    filter.load_if_missing(dir().file("filter.dat"));
    old_filter = filter.in_service();
    client.quarncrc_setcallback([this](int kind, std::int32_t value) {
      hooks.push_back({kind, value});
    });
    world.h.clear_log();
  }

  const TempDir& dir() const { return world.h.dir; }
  std::vector<std::string> log() { return world.h.log_entries(); }
  std::string request(std::size_t i) const {
    auto all = server.requests();
    return i < all.size() ? all[i] : std::string();
  }

  HttpServer server;
  UpdateWorld world;
  DbFile file;
  FilterService filter;
  UpdateClient client;
  RuleFilter* old_filter = nullptr;
  std::vector<std::pair<int, std::int32_t>> hooks;
};

const std::string kA = set_line(1, kFresh + 1, crcs_of(1)) + "|";
const std::string kB = set_line(2, kFresh + 2, crcs_of(2)) + "~";
// A line whose signature ends the line: valid as it arrives, but read back
// from the journal with its line end it no longer validates.
const std::string kC = set_line(3, kFresh + 3, crcs_of(3));

TEST(UpdateClient, DownloadsSignaturesAndANewRulesFile) {
  ClientWorld w("QUARN_EMAIL user@example.com\nQUARN_PASS s3cret!\n");
  w.server.add_answer(
      ok_answer({"Date: today", "x-quarn-count: 2", "x-quarn-filter: " + std::to_string(kOffered),
                 "X-Quarn-Update: 45"},
                lines_of({kA, kB})));
  w.server.add_answer(rules_answer(kNewRules));

  EXPECT_EQ(w.client.do_update(), 1);
  const std::string port = std::to_string(w.server.port());
  EXPECT_EQ(w.request(0),
            "GET /cgi-bin/spamcgi.cgi?cmd=update2&from=1&email=user@example.com"
            "&password=s3cret! HTTP/1.1\r\nHost: 127.0.0.1:" +
                port + "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(w.request(1),
            "GET /cgi-bin/spamcgi.cgi?cmd=filter2&email=user@example.com"
            "&password=s3cret! HTTP/1.0\r\nHost: 127.0.0.1:" +
                port + "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(w.world.records().size(), 2u);
  EXPECT_EQ(w.world.state.position, kFresh + 2);
  EXPECT_EQ(w.world.state.filter_time, kOffered);
  EXPECT_EQ(w.world.h.settings->server_interval(), 45);

  // The rules file on disk and in service are the downloaded ones.
  EXPECT_EQ(w.dir().read("filter.dat"), kNewRules);
  EXPECT_FALSE(w.dir().exists("filter.new"));
  MutexHold hold(&w.filter.mutex(), 100);
  ASSERT_NE(w.filter.in_service(), nullptr);
  EXPECT_NE(w.filter.in_service(), w.old_filter);
  EXPECT_EQ(w.filter.in_service()->phrases.size(), 2u);

  // Journalled as they came, then rewritten with the update state.
  EXPECT_EQ(w.dir().read(kDbFile), kA + "\n" + kB + "\n" + "TIME|" + std::to_string(kFresh + 2) +
                                       " " + std::to_string(kNow) + " " +
                                       std::to_string(kOffered) + "\n");
  EXPECT_EQ(w.log(), (std::vector<std::string>{
                         "Info:do_update - Updating database (0)",
                         "Info:do_update - New filter available (0 -> 1700000500), requesting",
                         "Info:do_update - New filter obtained, applying",
                         "Info:compile_mfilter - Filter okay",
                         "Info:do_update - Database updated sucessful (1699990002)"}));
  EXPECT_EQ(w.hooks,
            (std::vector<std::pair<int, std::int32_t>>{{2, 45}, {1, kOffered}, {0, kFresh + 2}}));

  // A restarted engine loads the same records from the rewritten file.
  UpdateWorld again;
  again.h.dir.write(kDbFile, w.dir().read(kDbFile));
  DbFile(again.commands, DbFileOptions{again.h.dir.path().string(), {}, 1}).open_db();
  EXPECT_EQ(again.records(), w.world.records());
  EXPECT_EQ(again.state.filter_time, kOffered);
}

TEST(UpdateClient, RequestsCarryThePositionAndEncodeOnlyBreakingBytes) {
  struct Case {
    std::string ini;
    std::int32_t position;
    std::string query;  // what follows "?cmd=update2&"
  };
  const Case cases[] = {
      {"", 0, "from=1&email=&password="},
      {"QUARN_CGI /feed\n", 1699990000, "from=1699990000&email=&password="},
      {"QUARN_EMAIL a.b-c_d@example.com\nQUARN_PASS Pa$$w0rd!~*'();:/?@\n", 7,
       "from=7&email=a.b-c_d@example.com&password=Pa$$w0rd!~*'();:/?@"},
      {"QUARN_EMAIL me+you@x.org\nQUARN_PASS a&b c\t%=#\xe9\n", 7,
       "from=7&email=me%2Byou@x.org&password=a%26b%20c%09%25%3D%23%E9"},
  };
  for (const Case& c : cases) {
    ClientWorld w(c.ini + "DEBUG true\n");
    w.world.state.position = c.position;
    w.server.add_answer(ok_answer({}, ""));
    EXPECT_EQ(w.client.do_update(), 1);
    const std::string cgi = c.ini.starts_with("QUARN_CGI") ? "/feed" : "/cgi-bin/spamcgi.cgi";
    const std::string expected = "GET " + cgi + "?cmd=update2&" + c.query + " HTTP/1.1\r\nHost: " +
                                 "127.0.0.1:" + std::to_string(w.server.port()) +
                                 "\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(w.request(0), expected) << c.ini;
    EXPECT_EQ(w.client.database_request(c.position), expected);
    EXPECT_NE(w.world.h.log_text().find("dbg:do_update - " + expected), std::string::npos);
  }
  // Line ends and other control bytes can only come from a value set in
  // memory; they never reach the request raw.
  EXPECT_EQ(percent_encode_value("p&w d\r\nHost: evil\x7f"), "p%26w%20d%0D%0AHost:%20evil%7F");
  EXPECT_EQ(percent_encode_value("plain.value@host"), "plain.value@host");
}

TEST(UpdateClient, TestModeSucceedsWithoutContactingTheServer) {
  HttpServer server;
  UpdateWorld world("HTTP_HOST 127.0.0.1\nHTTP_PORT " + std::to_string(server.port()) + "\n");
  DbFile file(world.commands, DbFileOptions{world.h.dir.path().string(), {}, 1});
  FilterService filter(world.h.log);
  UpdateClientOptions options;
  options.test_mode = true;
  UpdateClient client(world.h.log, *world.h.settings, world.commands, file, world.state, filter,
                      options);
  world.h.clear_log();
  EXPECT_EQ(client.do_update(), 1);
  EXPECT_FALSE(server.wait_for_connections(1, 200ms));
  EXPECT_TRUE(world.h.log_entries().empty());
}

// Which answers are accepted: the count header against the body lines,
// NO_DLCOUNT, rejected lines that still count.
TEST(UpdateClient, CountDecidesWhetherTheDownloadIsAccepted) {
  const std::string bad = "SET|3|0|1|0|2|1|" + sig(crcs_of(3)) + "|";  // timestamp 0: rejected
  struct Case {
    const char* name;
    std::string ini;
    std::vector<std::string> headers;
    std::vector<std::string> body;
    bool accepted;
  };
  const Case cases[] = {
      {"count matches", "", {"x-quarn-count: 3"}, {kA, kB, bad}, true},
      {"count too high", "", {"x-quarn-count: 4"}, {kA, kB, bad}, false},
      {"count too low", "", {"X-QUARN-COUNT: 2"}, {kA, kB, bad}, false},
      {"no count", "", {}, {kA, kB}, false},
      {"no count, NO_DLCOUNT true", "NO_DLCOUNT true\n", {}, {kA, kB}, true},
      {"count 0, NO_DLCOUNT True", "NO_DLCOUNT True\n", {"x-quarn-count: 0"}, {kA}, true},
      {"no count, NO_DLCOUNT tRUE", "NO_DLCOUNT tRUE\n", {}, {kA, kB}, false},
      {"no count, NO_DLCOUNT yes", "NO_DLCOUNT yes\n", {}, {kA, kB}, false},
      {"count set, NO_DLCOUNT TRUE", "NO_DLCOUNT TRUE\n", {"x-quarn-count: 5"}, {kA, kB}, false},
      {"count without blank is no count", "", {"x-quarn-count:2"}, {kA, kB}, false},
  };
  for (const Case& c : cases) {
    ClientWorld w(c.ini);
    w.world.state.position = 100;
    w.server.add_answer(ok_answer(c.headers, lines_of(c.body)));
    EXPECT_EQ(w.client.do_update(), c.accepted ? 1 : 0) << c.name;
    // Applied and journalled lines stay either way; the rejected one is
    // counted but neither applied nor journalled.
    EXPECT_EQ(w.world.records().size(), c.body.size() > 1 ? 2u : 1u) << c.name;
    const std::string journal = w.dir().read(kDbFile);
    EXPECT_TRUE(journal.starts_with(kA + "\n")) << c.name;
    EXPECT_EQ(journal.find("SET|3|"), std::string::npos) << c.name;
    const std::int32_t largest = c.body.size() > 1 ? kFresh + 2 : kFresh + 1;
    EXPECT_EQ(w.world.state.position, c.accepted ? largest : 100) << c.name;
    const auto log = w.world.h.log_text();
    EXPECT_EQ(
        log.find("Err:do_update - Count does not match, retry from 100\n") != std::string::npos,
        !c.accepted)
        << c.name << log;
    EXPECT_EQ(journal.find("TIME|") != std::string::npos, c.accepted) << c.name;
  }
}

// The position only ever moves forward; DEL lines never raise it.
TEST(UpdateClient, PositionNeverMovesBackwards) {
  const std::string old_line = set_line(5, kFresh - 50, crcs_of(5)) + "|";
  struct Case {
    std::int32_t before;
    std::vector<std::string> body;
    std::int32_t after;
    std::string next_from;
  };
  const Case cases[] = {
      {0, {}, 0, "from=1&"},
      {kFresh, {}, kFresh, "from=1699990000&"},
      {kFresh, {old_line}, kFresh, "from=1699990000&"},
      {kFresh, {old_line, kB}, kFresh + 2, "from=1699990002&"},
      {kFresh, {"DEL|1", "FOO|1"}, kFresh, "from=1699990000&"},
      {0, {kA, "DEL|1"}, kFresh + 1, "from=1699990001&"},
  };
  for (const Case& c : cases) {
    ClientWorld w;
    w.world.apply(kA);
    w.world.state.position = c.before;
    w.server.add_answer(
        ok_answer({"x-quarn-count: " + std::to_string(c.body.size())}, lines_of(c.body)));
    w.server.add_answer(ok_answer({}, ""));
    EXPECT_EQ(w.client.do_update(), 1);
    EXPECT_EQ(w.world.state.position, c.after);
    EXPECT_EQ(w.hooks.back(), (std::pair<int, std::int32_t>{0, c.after}));
    EXPECT_EQ(w.client.do_update(), 1);
    EXPECT_NE(w.request(1).find("?cmd=update2&" + c.next_from), std::string::npos) << w.request(1);
  }
}

// Rejected lines and DEL lines are applied (or not) and counted, but only
// lines that gave a timestamp reach the journal; the rewrite then drops
// what no longer describes a record.
TEST(UpdateClient, JournalHoldsAppliedLinesAndTheRewriteKeepsLiveOnes) {
  ClientWorld w("DEBUG true\n");
  const std::string old = set_line(9, kFresh - 10, crcs_of(9)) + "|\n";
  w.dir().write(kDbFile, old + "TIME|5 6 0\n");
  w.file.open_db();
  w.world.h.clear_log();
  const std::vector<std::string> body = {kA, "DEL|9", "FOO|1", "SET|0|5", kB, "DEL|77", kC};
  w.server.add_answer(ok_answer({"x-quarn-count: 7"}, lines_of(body)));

  EXPECT_EQ(w.client.do_update(), 1);
  // kC is applied and journalled as it came, but read back with its line
  // end its signature no longer validates, so the rewrite drops it.
  EXPECT_EQ(w.dir().read(kDbFile), kA + "\n" + kB + "\nTIME|" + std::to_string(kFresh + 3) + " " +
                                       std::to_string(kNow) + " 0\n");
  EXPECT_EQ(w.world.records().size(), 3u);
  EXPECT_NE(w.world.h.log_text().find("Err:do_update - Validation failed, removed command (" + kC +
                                      ")\n"),
            std::string::npos);
  const std::string log = w.world.h.log_text();
  for (const char* text : {"Err:do_update_command - Invalid command (FOO)\n",
                           "Err:do_update_command - Invalid ID, skipping (0)\n",
                           "Info:do_update_command - Attempted to delete unknown message (77)\n",
                           "dbg:do_update - Removed outdated command (SET|9|"}) {
    EXPECT_NE(log.find(text), std::string::npos) << text << log;
  }
}

// A journal whose last line a crash cut: the next download's first line is
// not glued to it, so it survives the rewrite and a restart.
TEST(UpdateClient, CutJournalLineIsEndedBeforeAppending) {
  ClientWorld w;
  const std::string cut = set_line(5, kFresh, crcs_of(5)).substr(0, 30);
  w.dir().write(kDbFile, "TIME|5 6 0\n" + cut);
  w.server.add_answer(ok_answer({"x-quarn-count: 1"}, lines_of({kA})));
  EXPECT_EQ(w.client.do_update(), 1);
  const std::string file = w.dir().read(kDbFile);
  EXPECT_EQ(file, kA + "\nTIME|" + std::to_string(kFresh + 1) + " " + std::to_string(kNow) +
                      " 0\n");
}

// A full disk during the append leaves a cut line; the next download is
// not glued to it, and what memory holds is what a restart loads.
TEST(UpdateClient, FullDiskDuringTheAppendLosesNothing) {
  ClientWorld w;
  w.dir().write(kDbFile, "TIME|5 6 0\n");
  w.server.add_answer(ok_answer({"x-quarn-count: 1"}, lines_of({kA})));
  // The position did not move: the server sends the line again.
  w.server.add_answer(ok_answer({"x-quarn-count: 2"}, lines_of({kA, kB})));
  {
    // Files may grow to 100 bytes: the downloaded line is cut.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_action {};
    ::sigaction(SIGXFSZ, &ignore, &old_action);
    rlimit old_limit{};
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 100;
    ::setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_EQ(w.client.do_update(), 0);
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::sigaction(SIGXFSZ, &old_action, nullptr);
  }
  EXPECT_EQ(w.dir().read(kDbFile).size(), 100u);
  EXPECT_EQ(w.client.do_update(), 1);
  UpdateWorld again;
  again.h.dir.write(kDbFile, w.dir().read(kDbFile));
  DbFile(again.commands, DbFileOptions{again.h.dir.path().string(), {}, 1}).open_db();
  EXPECT_EQ(again.records().size(), 2u);
  EXPECT_EQ(again.records(), w.world.records());
}

// Hostile servers are stopped at their bound: the run fails, what was
// applied stays journalled, the position stays, the rules files stay.
TEST(UpdateClient, DownloadsStopAtTheirBounds) {
  std::string endless_sets;
  for (std::int32_t i = 0; endless_sets.size() < 1500000; ++i) {
    endless_sets += set_line(1 + i % 150, kFresh + i, crcs_of(1 + i % 150)) + "|\r\n";
  }
  std::string endless_rules;
  while (endless_rules.size() < 1500000) endless_rules += "if (rexp(body, xyz)) reject spam\n";
  ScriptedAnswer drip;
  drip.bytes = ok_answer({"x-quarn-count: 400"}, endless_sets.substr(0, 400 * 82));
  drip.chunk_size = 200;
  drip.chunk_delay_ms = 20;
  struct Case {
    const char* name;
    std::vector<ScriptedAnswer> answers;
    std::string log;
  };
  auto plain = [](std::string bytes) {
    ScriptedAnswer a;
    a.bytes = std::move(bytes);
    return a;
  };
  const Case cases[] = {
      {"endless SET lines", {plain(ok_answer({"x-quarn-count: 99999999"}, endless_sets))},
       "Err:do_update - Download exceeds DOWNLOAD_MAX (1 MB), stopped"},
      {"endless rules file",
       {plain(ok_answer({"x-quarn-count: 1", "x-quarn-filter: " + std::to_string(kOffered)},
                        lines_of({kA}))),
        plain(rules_answer(endless_rules))},
       "Err:do_update - Rules file exceeds FILTER_FILE_MAX (1 MB), stopped"},
      {"dripping server", {drip}, "Err:do_update - Update run exceeds UPDATE_TIME_MAX (1 s), stopped"},
  };
  for (const Case& c : cases) {
    ClientWorld w("DOWNLOAD_MAX 1\nFILTER_FILE_MAX 1\nUPDATE_TIME_MAX 1\n");
    w.dir().write(kDbFile, "TIME|5 6 0\n");
    for (const ScriptedAnswer& a : c.answers) w.server.add_answer(a);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(w.client.do_update(), 0) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << c.name;
    EXPECT_EQ(w.log().back(), c.log) << c.name;
    EXPECT_EQ(w.world.state.position, c.answers.size() == 2 ? kFresh + 1 : 0) << c.name;
    EXPECT_EQ(w.dir().read("filter.dat"), kOldRules) << c.name;
    EXPECT_FALSE(w.dir().exists("filter.new")) << c.name;
    // Every journalled line is whole and loads again.
    const std::string journal = w.dir().read(kDbFile);
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back(), '\n') << c.name;
    UpdateWorld again;
    again.h.dir.write(kDbFile, journal);
    again.h.clear_log();
    DbFile(again.commands, DbFileOptions{again.h.dir.path().string(), {}, 1}).open_db();
    EXPECT_EQ(again.h.log_text().find("Err:"), std::string::npos) << c.name;
    EXPECT_EQ(again.records(), w.world.records()) << c.name;
  }
}

// Answers that end the run before anything is applied.
TEST(UpdateClient, RefusedOrBrokenAnswersFailTheRun) {
  struct Case {
    const char* name;
    ScriptedAnswer answer;
    std::string log;
  };
  auto plain = [](std::string bytes) {
    ScriptedAnswer a;
    a.bytes = std::move(bytes);
    return a;
  };
  ScriptedAnswer reset = plain("");
  reset.reset = true;
  const Case cases[] = {
      {"refusal", plain(ok_answer({"x-quarn-count: 1", "X-Quarn-Error: bad password"}, kA + "\n")),
       "Err:do_update - Failure from server - (bad password)"},
      {"404", plain(http_answer("HTTP/1.1 404 Not Found", {"x-quarn-count: 1"}, kA + "\n")),
       "Err:do_update - Bad response from server (HTTP/1.1 404 Not Found)"},
      {"status without blank", plain("HTTP/1.1\r\n\r\n" + kA + "\n"),
       "Err:do_update - Bad response from server (HTTP/1.1)"},
      {"closed without answer", plain(""), "Err:do_update - No response from server"},
      {"reset without answer", reset, "Err:do_update - No response from server"},
      {"status line never ended", plain("HTTP/1.1 200 OK"),
       "Err:do_update - No response from server"},
  };
  for (const Case& c : cases) {
    ClientWorld w;
    w.server.add_answer(c.answer);
    EXPECT_EQ(w.client.do_update(), 0) << c.name;
    const auto log = w.log();
    EXPECT_EQ(log.back(), c.log) << c.name;
    EXPECT_TRUE(w.world.records().empty()) << c.name;
    EXPECT_EQ(w.dir().read(kDbFile), "") << c.name;
    EXPECT_TRUE(w.hooks.empty()) << c.name;
  }

  ClientWorld refused;
  refused.server.stop();
  refused.world.h.set_ini("HTTP_HOST 127.0.0.1\nHTTP_PORT " + std::to_string(closed_port()) + "\n");
  EXPECT_EQ(refused.client.do_update(), 0);
  EXPECT_EQ(refused.log().back(),
            "Err:do_update - Could not open connection for database update (Connection refused)");
  EXPECT_FALSE(refused.dir().exists(kDbFile));
}

// Servers that stop sending: what arrived before counts, the rest is missing.
TEST(UpdateClient, EarlyCloseAndStallsEndTheBody) {
  const std::string answer = ok_answer({"x-quarn-count: 2"}, lines_of({kA, kB}));
  const std::size_t body_at = answer.find(kB);
  struct Case {
    const char* name;
    ScriptedAnswer answer;
    std::string log;
  };
  ScriptedAnswer cut;
  cut.bytes = answer.substr(0, body_at + 10);  // the second line never ends
  ScriptedAnswer stall_body;
  stall_body.bytes = answer;
  stall_body.stall_at = body_at + 10;
  stall_body.stall_ms = 4000;
  ScriptedAnswer stall_status;
  stall_status.bytes = answer;
  stall_status.delay_ms = 4000;
  const Case cases[] = {
      {"closed inside a line", cut, "Err:do_update - Count does not match, retry from 0"},
      {"stalled inside a line", stall_body, "Err:do_update - Count does not match, retry from 0"},
      {"stalled before the status", stall_status, "Err:do_update - No response from server"},
  };
  for (const Case& c : cases) {
    ClientWorld w;
    w.server.add_answer(c.answer);
    EXPECT_EQ(w.client.do_update(), 0) << c.name;
    EXPECT_EQ(w.log().back(), c.log) << c.name;
    EXPECT_EQ(w.world.records().size(), c.log.find("Count") != std::string::npos ? 1u : 0u);
  }
}

// A chunked body is de-chunked first: chunk sizes, extensions and trailers
// never reach the command parser, and chunks may end anywhere in a line.
TEST(UpdateClient, ChunkedAnswersAreDechunked) {
  const std::string body = lines_of({kA, kB, "DEL|1"});
  std::string chunked;
  for (std::size_t at = 0; at < body.size(); at += 37) {
    const std::string piece = body.substr(at, 37);
    chunked +=
        lprintf(32, "%zx", piece.size()) + (at == 0 ? ";name=value" : "") + "\r\n" + piece + "\r\n";
  }
  chunked += "0\r\nX-Trailer: 1\r\n\r\n";
  ClientWorld w;
  w.server.add_answer(ok_answer({"x-quarn-count: 3", "Transfer-Encoding: chunked",
                                 "x-quarn-filter: " + std::to_string(kOffered)},
                                chunked));
  const std::string rules_chunked =
      lprintf(32, "%zX", kNewRules.size()) + "\n" + std::string(kNewRules) + "\n0\n\n";
  w.server.add_answer(http_answer(
      "HTTP/1.1 200 OK", {"x-quarn-filter: 1", "transfer-encoding: gzip, Chunked"}, rules_chunked));
  EXPECT_EQ(w.client.do_update(), 1);
  EXPECT_TRUE(w.world.records().contains(2));
  EXPECT_FALSE(w.world.records().contains(1));
  EXPECT_EQ(w.dir().read("filter.dat"), kNewRules);
  for (const auto& line : w.log()) EXPECT_FALSE(line.starts_with("Err:")) << line;
}

TEST(ChunkDecoder, DecodesAndStopsAtTheEndOrABrokenCoding) {
  struct Case {
    std::string in;
    std::string out;
    bool ended, broken;
  };
  const Case cases[] = {
      {"5\r\nhello\r\n0\r\n\r\n", "hello", true, false},
      {"3;x=y\nabc\n2 \r\nde\r\n0\r\nA: b\r\nC: d\r\n\r\nrest", "abcde", true, false},
      {"  a\r\n0123456789\r\n", "0123456789", false, false},
      {"5\r\nhel", "hel", false, false},
      {"zz\r\nabc", "", true, true},
      {"\r\nabc", "", true, true},
      {"3\r\nabcX\r\n", "abc", true, true},
      {"80000000\r\nabc", "", true, true},
      {"7fffffff\r\nabc", "abc", false, false},
  };
  for (const Case& c : cases) {
    // Whole, and a byte at a time: the same result.
    for (std::size_t piece : {c.in.size(), std::size_t{1}}) {
      ChunkDecoder d;
      std::string out;
      for (std::size_t at = 0; at < c.in.size() && !d.ended(); at += piece) {
        d.feed(std::string_view(c.in).substr(at, piece), out);
      }
      EXPECT_EQ(out, c.out) << c.in;
      EXPECT_EQ(d.ended(), c.ended) << c.in;
      EXPECT_EQ(d.broken(), c.broken) << c.in;
    }
  }
}

// Lines longer than the 1000-byte line buffer, plain and chunked: the
// first 999 characters of a 1500-byte line are read; of a 2500-byte line
// the first 1998 bytes are thrown away and the rest is a line of its own.
TEST(UpdateClient, OverLongLinesAreCutAsTheLineReaderCutsThem) {
  const std::string line1500 = kA + std::string(1500 - kA.size(), 'x');
  const std::string line2500 = kB + "|" + std::string(2500 - kB.size() - 1, 'y');
  for (bool chunked : {false, true}) {
    ClientWorld w;
    std::string body = lines_of({line1500, line2500});
    std::vector<std::string> headers = {"x-quarn-count: 2"};
    if (chunked) {
      headers.push_back("Transfer-Encoding: chunked");
      body = lprintf(32, "%zx", body.size()) + "\r\n" + body + "\r\n0\r\n\r\n";
    }
    w.server.add_answer(ok_answer(headers, body));
    EXPECT_EQ(w.client.do_update(), 1) << chunked;
    EXPECT_EQ(w.world.records().size(), 1u) << chunked;  // only the 1500-byte line's SET
    const std::string journal = w.dir().read(kDbFile);
    EXPECT_TRUE(journal.starts_with(line1500.substr(0, 999) + "|\nTIME|")) << chunked;
    const auto log = w.world.h.log_text();
    EXPECT_NE(log.find("Err:No end of line in input buffer\n"), std::string::npos) << chunked;
    EXPECT_NE(log.find("Err:do_update_command - Invalid command (" + std::string(502, 'y') + ")"),
              std::string::npos)
        << chunked;
  }
}

// The rules download: when it is asked for, and every way it can end.
TEST(UpdateClient, RulesFileIsFetchedOnlyWhenNewAndWanted) {
  struct Case {
    std::string ini;
    std::int32_t filter_time;
    std::int32_t offered;
  };
  const Case cases[] = {
      {"", 0, 0}, {"", kOffered, kOffered}, {"FILTER_UPGRADE false\n", 0, kOffered}};
  for (const Case& c : cases) {
    ClientWorld w(c.ini);
    w.world.state.filter_time = c.filter_time;
    w.server.add_answer(ok_answer({"x-quarn-filter: " + std::to_string(c.offered)}, ""));
    EXPECT_EQ(w.client.do_update(), 1);
    EXPECT_TRUE(w.server.wait_for_finished(1, 2000ms));
    EXPECT_EQ(w.server.connections(), 1u) << c.ini << c.offered;
    EXPECT_EQ(w.world.state.filter_time, c.filter_time);
  }
}

TEST(UpdateClient, RulesDownloadFailuresKeepTheFilterInService) {
  struct Case {
    const char* name;
    std::string answer;
    std::string setup;  // "filter.new dir", "filter.dat dir", "hold mutex"
    int result;
    std::string log;
  };
  const Case cases[] = {
      {"no marker", http_answer("HTTP/1.0 200 OK", {"x-quarn-count: 1"}, kNewRules), "", 1,
       "Err:do_update - Download doesn't appear to be a filter"},
      {"refusal",
       http_answer("HTTP/1.0 200 OK", {"x-quarn-filter: 1", "x-quarn-error: expired"}, kNewRules),
       "", 0, "Err:do_update - Failure from server - (expired)"},
      {"does not compile", rules_answer(kBrokenRules), "", 1,
       "Err:do_update - Filter compile failed, using old filter"},
      {"filter.new unwritable", rules_answer(kNewRules), "filter.new dir", 1,
       "Err:do_update - Could not open new rule file (write)"},
      {"filter mutex busy", rules_answer(kNewRules), "hold mutex", 1,
       "Info:do_update - Failed to obtain mutex for 10 seconds while applying new filter"},
  };
  for (const Case& c : cases) {
    ClientWorld w;
    if (c.setup == "filter.new dir") std::filesystem::create_directory(w.dir().file("filter.new"));
    w.server.add_answer(ok_answer({"x-quarn-count: 1", "x-quarn-filter: 99"}, kA + "\n"));
    w.server.add_answer(c.answer);
    std::atomic<bool> held{false}, done{false};
    std::thread scanner;
    if (c.setup == "hold mutex") {
      scanner = std::thread([&] {
        MutexHold hold(&w.filter.mutex(), 1000);
        held = true;
        while (!done) std::this_thread::sleep_for(1ms);
      });
      while (!held) std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(w.client.do_update(), c.result) << c.name;
    done = true;
    if (scanner.joinable()) scanner.join();

    const auto log = w.log();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(std::find(log.begin(), log.end(), c.log), log.end()) << c.name;
    EXPECT_EQ(log.back(),
              c.result == 1 ? "Info:do_update - Database updated sucessful (1699990001)" : c.log)
        << c.name;
    // The old rules, on disk and in service, with their tables whole.
    EXPECT_EQ(w.dir().read("filter.dat"), kOldRules) << c.name;
    MutexHold hold(&w.filter.mutex(), 100);
    EXPECT_EQ(w.filter.in_service(), w.old_filter) << c.name;
    EXPECT_EQ(w.old_filter->phrases.size(), 1u) << c.name;
    EXPECT_EQ(w.old_filter->expressions.entries().size(), 1u) << c.name;
    EXPECT_EQ(w.world.state.filter_time, 0) << c.name;
    // The signatures came in either way; the refusal skips the rewrite.
    EXPECT_EQ(w.world.state.position, kFresh + 1) << c.name;
    EXPECT_EQ(w.dir().read(kDbFile).find("TIME|") != std::string::npos, c.result == 1) << c.name;
  }
}

TEST(UpdateClient, FailingFilesAndConnections) {
  struct Case {
    const char* name;
    std::string dir_at;  // a directory where this file should be
    int result;
    std::string log;
  };
  const Case cases[] = {
      {"quarncrc.db", kDbFile, 0, "Err:do_update - Could not open database (append)"},
      {"quarncrc.new", kDbNewFile, 0, "Err:do_update - Could not open new database (write)"},
      {"filter.dat", "filter.dat", 1,
       "Err:do_update - Could not rename filter, disk and memory not synchronised"},
  };
  for (const Case& c : cases) {
    ClientWorld w;
    std::filesystem::remove(w.dir().file(c.dir_at));
    std::filesystem::create_directory(w.dir().file(c.dir_at));
    w.server.add_answer(ok_answer({"x-quarn-count: 1", "x-quarn-filter: 99"}, kA + "\n"));
    w.server.add_answer(rules_answer(kNewRules));
    EXPECT_EQ(w.client.do_update(), c.result) << c.name;
    const auto log = w.log();
    EXPECT_NE(std::find(log.begin(), log.end(), c.log), log.end()) << c.name;
    if (c.dir_at == "filter.dat") {
      // In service even though the rename failed: memory and the filter
      // time follow the new rules.
      EXPECT_EQ(w.world.state.filter_time, 99);
      EXPECT_EQ(w.dir().read("filter.new"), kNewRules);
    }
  }
  // A journal that cannot be written: the position stays so the lines come again.
  {
    ClientWorld w;
    w.world.state.position = 100;
    std::filesystem::create_symlink("/dev/full", w.dir().file(kDbFile));
    w.server.add_answer(ok_answer({"x-quarn-count: 1"}, kA + "\n"));
    EXPECT_EQ(w.client.do_update(), 0);
    EXPECT_EQ(w.log().back(), "Err:do_update - Could not write database (append), retry from 100");
    EXPECT_EQ(w.world.state.position, 100);
  }
  // No second connection for the rules file: the run goes on without it.
  {
    ClientWorld w("", true);
    w.server.add_answer(ok_answer({"x-quarn-count: 1", "x-quarn-filter: 99"}, kA + "\n"));
    EXPECT_EQ(w.client.do_update(), 1);
    const auto log = w.log();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Err:do_update - Could not open connection for filter update "
                        "(Connection refused)"),
              log.end());
    EXPECT_EQ(w.dir().read("filter.dat"), kOldRules);
  }
}

// ---- HTTPS -------------------------------------------------------------------

// A certificate authority and a server certificate for 127.0.0.1, made for
// the test with the openssl command, and a second authority that signed
// nothing.
struct TestPki {
  TestPki() {
    dir.write("ext.cnf", "subjectAltName=IP:127.0.0.1\n");
    const std::string d = dir.path().string();
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string script =
        "cd '" + d + "' && openssl req -x509" + ec + " -keyout ca.key -out ca.pem -days 2 " +
        "-subj /CN=TestCA && openssl req -x509" + ec + " -keyout other.key -out other.pem " +
        "-days 2 -subj /CN=OtherCA && openssl req" + ec + " -keyout server.key -out server.csr " +
        "-subj /CN=127.0.0.1 && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key " +
        "-CAcreateserial -out server.pem -days 2 -extfile ext.cnf) >/dev/null 2>&1";
    ok = std::system(("(" + script).c_str()) == 0;
  }
  std::string file(const char* name) const { return dir.file(name); }
  TempDir dir;
  bool ok = false;
};

// Serves one scripted answer per TLS connection on 127.0.0.1.
class TlsServer {
 public:
  TlsServer(const TestPki& pki, std::vector<std::string> answers) : answers_(std::move(answers)) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx_, pki.file("server.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx_, pki.file("server.key").c_str(), SSL_FILETYPE_PEM);
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~TlsServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
    SSL_CTX_free(ctx_);
  }
  int port() const { return port_; }

 private:
  void serve() {
    for (const std::string& answer : answers_) {
      const int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      timeval limit{5, 0};
      ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      SSL* ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, client);
      if (SSL_accept(ssl) == 1) {
        std::string request;
        char buffer[1024];
        int n;
        while (request.find("\r\n\r\n") == std::string::npos &&
               (n = SSL_read(ssl, buffer, sizeof buffer)) > 0) {
          request.append(buffer, static_cast<std::size_t>(n));
        }
        SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      ::close(client);
    }
  }

  std::vector<std::string> answers_;
  SSL_CTX* ctx_ = nullptr;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// HTTPS against a server whose certificate the configured authority signed
// works; one signed by an authority not trusted is refused before the
// request is sent.
TEST(UpdateClient, HttpsChecksTheServerCertificate) {
  TestPki pki;
  ASSERT_TRUE(pki.ok) << "the openssl command could not make the test certificates";
  struct Case {
    const char* ca;
    int result;
    std::size_t records;
  };
  for (const Case c : {Case{"ca.pem", 1, 2u}, Case{"other.pem", 0, 0u}}) {
    TlsServer server(pki, {ok_answer({"x-quarn-count: 2"}, lines_of({kA, kB}))});
    ClientWorld w;
    w.world.h.set_ini("HTTP_HOST 127.0.0.1\nHTTP_PORT " + std::to_string(server.port()) +
                      "\nHTTP_TLS true\nHTTP_CA_FILE " + pki.file(c.ca) + "\n");
    EXPECT_EQ(w.client.do_update(), c.result) << c.ca;
    EXPECT_EQ(w.world.records().size(), c.records) << c.ca;
    if (c.result == 0) {
      const std::string log = w.world.h.log_text();
      EXPECT_NE(log.find("Could not open connection for database update (certificate verify "
                         "failed"),
                std::string::npos)
          << log;
    }
  }
}

}  // namespace
}  // namespace quarn::testing
