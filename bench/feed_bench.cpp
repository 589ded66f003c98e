// The feed server under load, on 127.0.0.1 only: update answers per second
// for a 100-line delta from 100 concurrent clients, bytes per second of a
// full download, and reports per second, over a store of
// QUARN_FEED_BENCH_RECORDS records (default 1,000,000; built once).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "feed/message_report.h"
#include "feed/server.h"
#include "feed/store.h"
#include "signature/signature_text.h"

namespace quarn::feed {
namespace {

struct Site {
  std::filesystem::path dir;
  std::unique_ptr<FeedLog> log;
  std::unique_ptr<FeedServer> server;
  std::int64_t delta_from = 0;  // an engine position 100 lines behind
  std::int64_t records = 0;
  std::string report_dir;
};

std::string body_text(int n) {
  return "From: bench@example.org\r\nSubject: offer number " + std::to_string(n) +
         " now\r\nTo: you@example.com\r\n\r\nline one " + std::to_string(n) +
         "\r\nline two of the offer\r\nline three\r\n";
}

Site& site() {
  static Site* s = [] {
    auto* s = new Site;
    s->dir = std::filesystem::temp_directory_path() / ("feed-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(s->dir);
    static const std::filesystem::path made = s->dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(made, ec);
    });
    const char* env = std::getenv("QUARN_FEED_BENCH_RECORDS");
    s->records = env ? std::atoll(env) : 1000000;
    std::string error;
    std::unique_ptr<Store> store = Store::open(s->dir.string(), {}, error);
    if (!store) std::abort();
    const std::string stamp = std::to_string(wall_clock_now());
    std::int64_t i = 0;
    const auto imported = store->import(
        [&](std::string& line) {
          if (++i > s->records) return false;
          PartCrcs crcs{};
          for (int p = 0; p < kPartCount; ++p) {
            crcs[p] = static_cast<std::uint32_t>(i) * 2654435761u + static_cast<std::uint32_t>(p);
          }
          line = "SET|" + std::to_string(i) + "|" + stamp + "|1|0|2|0|A" +
                 make_signature_text(crcs) + "|";
          return true;
        },
        error);
    if (!imported) std::abort();
    s->delta_from = imported->stamp;
    for (int n = 0; n < 99; ++n) store->report(message_crcs(body_text(n)), false, 0);
    // One log line per answer would measure the terminal, not the feed.
    std::FILE* quiet = std::fopen("/dev/null", "w");
    s->log = std::make_unique<FeedLog>(quiet ? quiet : stderr);
    ServerOptions options;
    options.data_dir = s->dir.string();
    options.max_connections = 1024;
    s->server = std::make_unique<FeedServer>(options, *s->log);
    if (!s->server->start(error)) std::abort();
    return s;
  }();
  return *s;
}

// One GET over a fresh connection; the number of bytes received.
std::size_t fetch(int port, const std::string& target) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::size_t total = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[1 << 16];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) total += static_cast<std::size_t>(n);
  }
  close(fd);
  return total;
}

void BM_UpdateAnswers100Clients(benchmark::State& state) {
  Site& s = site();
  const std::string target =
      "/cgi-bin/spamcgi.cgi?cmd=update2&from=" + std::to_string(s.delta_from) + "&email=&password=";
  const std::size_t expected = fetch(s.server->port(), target);
  constexpr int kClients = 100;
  constexpr int kEach = 20;
  std::atomic<int> wrong{0};
  for (auto _ : state) {
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) {
          if (fetch(s.server->port(), target) != expected) ++wrong;
        }
      });
    }
    for (std::thread& t : clients) t.join();
  }
  if (wrong) state.SkipWithError("an answer differed");
  state.SetItemsProcessed(state.iterations() * kClients * kEach);
  state.counters["answers/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kClients * kEach),
                         benchmark::Counter::kIsRate);
  state.counters["records"] = static_cast<double>(s.records);
}
BENCHMARK(BM_UpdateAnswers100Clients)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_FullDownload(benchmark::State& state) {
  Site& s = site();
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes += fetch(s.server->port(), "/cgi-bin/spamcgi.cgi?cmd=update2&from=1&email=&password=");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["records"] = static_cast<double>(s.records);
}
BENCHMARK(BM_FullDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// Each report is one transaction (synchronous, as the command runs it):
// half raise an existing record, half make a new one.
void BM_Report(benchmark::State& state) {
  Site& s = site();
  std::string error;
  std::unique_ptr<Store> store = Store::open(s.dir.string(), {}, error);
  int n = 0;
  for (auto _ : state) {
    const auto outcome = store->report(message_crcs(body_text(n % 2 ? 0 : 1000000 + n)), false, 0);
    benchmark::DoNotOptimize(outcome);
    ++n;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Report)->UseRealTime();

}  // namespace
}  // namespace quarn::feed
