// An update run applying a download of 100,000 SET lines from a server on
// 127.0.0.1: lines per second in process, and, through the real binary,
// the latency of SCAN commands answered while the download is applied
// (median and 99th percentile; the database mutex is taken per line, so
// scans interleave with the download).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "signature/signature_text.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/http_server.h"
#include "tests/testing/temp_dir.h"
#include "update/update_client.h"

namespace quarn {
namespace {

using testing::HttpServer;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int kLines = 100000;

// The answer: count header and kLines SET lines of fresh timestamps.
const std::string& download() {
  static const std::string answer = [] {
    std::mt19937 rng(7);
    const long now = static_cast<long>(std::time(nullptr));
    std::string body;
    body.reserve(static_cast<std::size_t>(kLines) * 110);
    char line[256];
    for (int id = 1; id <= kLines; ++id) {
      PartCrcs crcs;
      for (auto& c : crcs) c = rng();
      std::snprintf(line, sizeof line, "SET|%d|%ld|%u|0|2|1|A%s|\r\n", id, now - 3600 + id % 3000,
                    static_cast<unsigned>(1 + rng() % 50), make_signature_text(crcs).c_str());
      body += line;
    }
    return testing::http_answer("HTTP/1.1 200 OK", {"x-quarn-count: " + std::to_string(kLines)},
                                body);
  }();
  return answer;
}

std::FILE* sink() {
  static std::FILE* f = std::fopen("/dev/null", "w");
  return f;
}

void BM_ApplyDownload(benchmark::State& st) {
  download();
  for (auto _ : st) {
    st.PauseTiming();
    HttpServer server;
    TempDir dir;
    dir.write("quarncrc.ini",
              "HTTP_HOST 127.0.0.1\nHTTP_PORT " + std::to_string(server.port()) + "\n");
    Log log(sink());
    Settings settings(log, SettingsOptions{.path = dir.file("quarncrc.ini")});
    settings.init();
    SignatureDb db(log);
    UpdateState state;
    UpdateCommands commands(db, settings, log, state);
    DbFile file(commands, DbFileOptions{dir.path().string(), {}, 1});
    FilterService filter(log);
    UpdateClient client(log, settings, commands, file, state, filter);
    server.add_answer(download());
    st.ResumeTiming();
    if (client.do_update() != 1 || db.message_count() != static_cast<std::size_t>(kLines)) {
      st.SkipWithError("download not applied");
    }
  }
  st.counters["lines_per_s"] =
      benchmark::Counter(static_cast<double>(kLines) * static_cast<double>(st.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ApplyDownload)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

std::string message_5k() {
  std::string m = "From: sender@example.com\r\nSubject: a test message\r\n\r\n";
  while (m.size() < 5000) m += "Lorem ipsum dolor sit amet, consectetur adipiscing elit.\r\n";
  return m;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// SCAN commands sent one after another to the real engine while its update
// thread applies the download (forced with quarncrc.update).
void BM_ScanLatencyDuringDownload(benchmark::State& st) {
  download();
  std::vector<double> during;
  std::vector<double> idle;
  double download_s = 0;
  for (auto _ : st) {
    HttpServer server;
    TempDir dir;
    dir.write("quarncrc.ini",
              "AUTO_UPDATE false\nSKIP_FILTER true\nHTTP_HOST 127.0.0.1\nHTTP_PORT " +
                  std::to_string(server.port()) + "\n");
    dir.write("m.txt", message_5k());
    server.add_answer(download());
    testing::EngineProcess engine(dir.path(), {});
    auto scan = [&] {
      const auto start = Clock::now();
      const std::string answer = engine.command("1 SCAN m.txt e.env");
      if (answer.find(" DATA\n") == std::string::npos) st.SkipWithError("SCAN failed");
      return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    for (int i = 0; i < 2000; ++i) idle.push_back(scan());

    dir.write("quarncrc.update", "");
    if (!server.wait_for_connections(1, std::chrono::seconds(15))) {
      st.SkipWithError("no update run");
      break;
    }
    const auto started = Clock::now();
    while (!server.wait_for_finished(1, std::chrono::milliseconds(0))) during.push_back(scan());
    download_s = std::chrono::duration<double>(Clock::now() - started).count();
    if (engine.command("2 FINDCRC x").empty()) st.SkipWithError("engine gone");
    engine.quit();
  }
  st.counters["scans_during"] = static_cast<double>(during.size());
  st.counters["scan_p50_ms"] = percentile(during, 0.5);
  st.counters["scan_p99_ms"] = percentile(during, 0.99);
  st.counters["scan_max_ms"] = percentile(during, 1.0);
  st.counters["idle_p50_ms"] = percentile(idle, 0.5);
  st.counters["idle_p99_ms"] = percentile(idle, 0.99);
  st.counters["engine_lines_per_s"] = download_s > 0 ? kLines / download_s : 0;
}
BENCHMARK(BM_ScanLatencyDuringDownload)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace quarn
