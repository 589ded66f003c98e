// Whole-process SCAN throughput, signature only (SKIP_FILTER true), of the
// real binary through its pipes over every corpus message, with a database
// of random records loaded from quarncrc.db at start. Commands are written
// ahead by a second thread, so the figure is the engine's own rate, not the
// round trips. The engine is pinned to one processor.
//
// Counters: messages per second (wall clock), messages per second of the
// engine's own processor time, the engine's peak resident memory, and its
// processor time from start to its first answer (mostly loading the file).
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_stats.h"
#include "signature/signature_text.h"
#include "tests/testing/corpus.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace {

using quarn::testing::EngineProcess;
using quarn::testing::TempDir;

using quarn::bench::cpu_seconds;
using quarn::bench::peak_rss_kb;

void write_database(const std::string& path, int records) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return;
  std::mt19937 random(5);
  for (int id = 1; id <= records; ++id) {
    quarn::PartCrcs crcs{};
    for (auto& c : crcs) c = static_cast<std::uint32_t>(random());
    std::fprintf(f, "SET|%d|1000|%d|0|2|%d|A%s|\n", id, 1 + id % 50, id % 5,
                 quarn::make_signature_text(crcs).c_str());
  }
  std::fclose(f);
}

void BM_ScanSignatureOnly(benchmark::State& state) {
  const auto files = quarn::testing::corpus_files();
  if (files.empty()) {
    state.SkipWithError("no corpus");
    return;
  }
  TempDir dir;
  dir.write("quarncrc.ini", "AUTO_UPDATE false\nUPDATE_START false\nSKIP_FILTER true\n");
  dir.write("m.env", "From: <sender@example.net>\nIp: 192.0.2.10\nTo: <a@example.com>\n\n");
  write_database(dir.file("quarncrc.db"), static_cast<int>(state.range(0)));

  EngineProcess engine(dir.path());
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(0, &one);
  sched_setaffinity(engine.pid(), sizeof one, &one);
  // Answered once the database file has been loaded.
  if (engine.command("0 FINDCRC A", std::chrono::milliseconds(600000)).empty()) {
    state.SkipWithError("engine did not answer");
    return;
  }

  const double cpu_before = cpu_seconds(engine.pid());
  // The engine's processor time up to here is mostly the load of the file.
  state.counters["load_cpu_s"] = cpu_before;
  const auto total = static_cast<std::size_t>(state.max_iterations);
  std::thread writer([&] {
    std::string batch;
    for (std::size_t i = 0; i < total; ++i) {
      batch += "1 SCAN " + files[i % files.size()].string() + " m.env\n";
      if (batch.size() > 1 << 15) {
        engine.send_raw(batch);
        batch.clear();
      }
    }
    engine.send_raw(batch);
  });
  for (auto _ : state) {
    const std::string answer = engine.read_answer(std::chrono::seconds(60));
    if (answer.size() < 2 || answer.substr(answer.size() - 2) != ".\n") {
      state.SkipWithError("incomplete answer");
      break;
    }
  }
  writer.join();
  const double cpu = cpu_seconds(engine.pid()) - cpu_before;
  state.counters["msgs_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["msgs_per_cpu_s"] = cpu > 0 ? static_cast<double>(state.iterations()) / cpu : 0.0;
  state.counters["peak_rss_MB"] = static_cast<double>(peak_rss_kb(engine.pid())) / 1024.0;
  state.counters["messages"] = static_cast<double>(files.size());
  engine.quit(std::chrono::seconds(60));
}
BENCHMARK(BM_ScanSignatureOnly)
    ->Arg(10000)
    ->Arg(1000000)
    ->Iterations(20000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
