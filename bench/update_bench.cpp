// Loading a database file of one million SET lines (lines per second, heap
// and peak memory per record) and rewriting it.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "signature/signature_text.h"
#include "support/file.h"
#include "update/db_file.h"

namespace quarn {
namespace {

constexpr int kLines = 1000000;

std::FILE* sink() {
  static std::FILE* f = std::fopen("/dev/null", "w");
  return f;
}

// A working directory with a quarncrc.db of kLines SET lines, made once and
// removed when the program ends.
struct WorkDir {
  WorkDir() {
    path = (std::filesystem::temp_directory_path() / ("bench_update_" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(path);
    FilePtr f = open_file(path + "/" + kDbFile, "w");
    std::mt19937 rng(9);
    const long now = static_cast<long>(std::time(nullptr));
    for (int id = 1; id <= kLines; ++id) {
      PartCrcs crcs;
      for (auto& c : crcs) c = rng();
      std::fprintf(f.get(), "SET|%d|%ld|%u|0|2|%u|A%s|\n", id, now - static_cast<long>(rng() % 86400),
                   static_cast<unsigned>(1 + rng() % 50), static_cast<unsigned>(rng() % 5), make_signature_text(crcs).c_str());
    }
  }
  ~WorkDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

const std::string& work_dir() {
  static const WorkDir dir;
  return dir.path;
}

long peak_rss_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct World {
  World() : log(sink()), settings(log, SettingsOptions{.path = work_dir() + "/quarncrc.ini"}) {
    settings.init();
  }
  Log log;
  Settings settings;
  UpdateState state;
};

void BM_OpenDb(benchmark::State& st) {
  const std::string& dir = work_dir();
  World w;
  double heap_per_record = 0;
  double peak_per_record = 0;
  for (auto _ : st) {
    const std::size_t heap_before = mallinfo2().uordblks;
    const long peak_before = peak_rss_kb();
    auto db = std::make_unique<SignatureDb>(w.log);
    UpdateCommands commands(*db, w.settings, w.log, w.state);
    DbFile file(commands, DbFileOptions{dir, {}, 1});
    file.open_db();
    heap_per_record = static_cast<double>(mallinfo2().uordblks - heap_before) / kLines;
    // The process's peak grows only in the first run of the load.
    peak_per_record = std::max(peak_per_record,
                               static_cast<double>(peak_rss_kb() - peak_before) * 1024.0 / kLines);
    if (db->message_count() != static_cast<std::size_t>(kLines)) st.SkipWithError("lines rejected");
    st.PauseTiming();
    db.reset();
    st.ResumeTiming();
  }
  st.counters["lines_per_s"] =
      benchmark::Counter(static_cast<double>(kLines) * static_cast<double>(st.iterations()),
                         benchmark::Counter::kIsRate);
  st.counters["heap_bytes_per_record"] = heap_per_record;
  st.counters["peak_rss_bytes_per_record"] = peak_per_record;
}
BENCHMARK(BM_OpenDb)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RewriteDb(benchmark::State& st) {
  const std::string& dir = work_dir();
  World w;
  SignatureDb db(w.log);
  UpdateCommands commands(db, w.settings, w.log, w.state);
  DbFile file(commands, DbFileOptions{dir, {}, 1});
  file.open_db();
  for (auto _ : st) {
    if (file.rewrite_db() != 1) st.SkipWithError("rewrite failed");
  }
  st.counters["lines_per_s"] =
      benchmark::Counter(static_cast<double>(kLines) * static_cast<double>(st.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RewriteDb)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace quarn
