// What scanning costs a mail server: the same corpus messages through a real
// Postfix on 127.0.0.1 relaying to a sink, once with quarncrc-milter and one
// engine (the example working directory) and once without any milter.
//
//   Throughput/*  10 concurrent SMTP sessions of 20 messages, timed until
//                 all 200 arrived at the sink (items_per_second = messages/s)
//   Latency/*     one session, 100 messages one after the other: the time
//                 from the end of each message's data to Postfix's reply
//                 (median_ms, p99_ms); the milter adds the difference
//
// Needs root and Postfix (scripts/install-deps.sh); skipped otherwise.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "tests/milter/mail_harness.h"
#include "tests/testing/corpus.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

namespace fs = std::filesystem;

// Both Postfix instances, the milter and the sink, started once.
struct Setup {
  TempDir dir;
  SmtpSink sink;
  std::unique_ptr<MilterProcess> milter;
  std::unique_ptr<Postfix> plain;
  std::unique_ptr<Postfix> scanned;
  std::vector<std::string> messages;
  int sequence = 0;

  Setup() {
    fs::copy(fs::path(QUARN_SOURCE_DIR) / "examples", dir.path() / "engine",
             fs::copy_options::recursive);
    milter = std::make_unique<MilterProcess>(
        std::vector<std::string>{"--socket", "unix:" + (dir.path() / "milter.sock").string(),
                                 "--workdir", (dir.path() / "engine").string()},
        dir.path() / "milter.log");
    for (int i = 0; i < 200 && !fs::exists(dir.path() / "milter.sock"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    plain = std::make_unique<Postfix>(dir.path() / "plain", sink.port(), "");
    scanned = std::make_unique<Postfix>(dir.path() / "scanned", sink.port(),
                                        "unix:" + (dir.path() / "milter.sock").string());
    for (const auto& file : corpus_files()) {
      std::string text = as_sent(file);
      if (text.size() < 100000) messages.push_back(std::move(text));
      if (messages.size() == 200) break;
    }
  }
  bool ready() const { return plain->started() && scanned->started() && !messages.empty(); }
};

Setup* setup() {
  static Setup* instance = nullptr;
  static std::unique_ptr<Setup> owner;
  if (instance == nullptr) {
    owner = std::make_unique<Setup>();
    instance = owner.get();
  }
  return instance;
}

bool available(benchmark::State& state) {
  if (::geteuid() != 0 || !postfix_installed()) {
    state.SkipWithError("needs root and postfix");
    return false;
  }
  if (!setup()->ready()) {
    state.SkipWithError("postfix did not start or no corpus");
    return false;
  }
  return true;
}

void Throughput(benchmark::State& state, bool with_milter) {
  if (!available(state)) return;
  Setup& s = *setup();
  int port = with_milter ? s.scanned->port() : s.plain->port();
  constexpr int kSessions = 10;
  constexpr int kPerSession = 20;
  for (auto _ : state) {
    std::vector<std::vector<Outgoing>> sessions(kSessions);
    std::size_t before = s.sink.wait_for(0, std::chrono::seconds(0)).size();
    for (int i = 0; i < kSessions * kPerSession; ++i) {
      sessions[i % kSessions].push_back(
          {"bench" + std::to_string(++s.sequence) + "@example.org",
           s.messages[i % s.messages.size()]});
    }
    std::vector<std::thread> clients;
    for (auto& session : sessions) {
      clients.emplace_back([&session, port] { smtp_send(port, session); });
    }
    for (auto& c : clients) c.join();
    auto all = s.sink.wait_for(before + kSessions * kPerSession, std::chrono::seconds(120));
    if (all.size() < before + kSessions * kPerSession) state.SkipWithError("messages missing");
  }
  state.SetItemsProcessed(state.iterations() * kSessions * kPerSession);
}

void Latency(benchmark::State& state, bool with_milter) {
  if (!available(state)) return;
  Setup& s = *setup();
  int port = with_milter ? s.scanned->port() : s.plain->port();
  std::vector<double> latencies;
  for (auto _ : state) {
    std::vector<Outgoing> batch;
    for (int i = 0; i < 100; ++i) {
      batch.push_back({"lat" + std::to_string(++s.sequence) + "@example.org",
                       s.messages[i % s.messages.size()]});
    }
    smtp_send(port, batch, &latencies);
  }
  std::sort(latencies.begin(), latencies.end());
  if (latencies.empty()) return;
  state.counters["median_ms"] = latencies[latencies.size() / 2];
  state.counters["p99_ms"] = latencies[latencies.size() * 99 / 100];
}

BENCHMARK_CAPTURE(Throughput, postfix_alone, false)->Iterations(3)->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Throughput, postfix_milter_engine, true)->Iterations(3)->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Latency, postfix_alone, false)->Iterations(2)->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Latency, postfix_milter_engine, true)->Iterations(2)->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quarn::testing
