// The command loop's own cost per SCAN of a 5 KB message with SKIP_FILTER
// true: in process (Engine::do_command) and through the real binary's pipes,
// against the cost of merely reading the file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "engine/engine.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace {

using quarn::testing::TempDir;

std::string message_5k() {
  std::string m = "From: sender@example.com\r\nSubject: a test message\r\n\r\n";
  while (m.size() < 5000) m += "Lorem ipsum dolor sit amet, consectetur adipiscing elit.\r\n";
  return m;
}

struct Workdir {
  Workdir() {
    dir.write("quarncrc.ini", "AUTO_UPDATE false\nSKIP_FILTER true\n");
    dir.write("m.txt", message_5k());
  }
  TempDir dir;
};

void BM_ReadFile5k(benchmark::State& state) {
  Workdir w;
  const std::string path = w.dir.file("m.txt");
  char buffer[8192];
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
    ::close(fd);
  }
}
BENCHMARK(BM_ReadFile5k);

void BM_ScanInProcess(benchmark::State& state) {
  Workdir w;
  quarn::testing::ScopedCwd cwd(w.dir.path());
  quarn::Engine engine(quarn::EngineOptions{false, 1});
  engine.quarncrc_init();
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.do_command("1 SCAN m.txt e.env"));
  }
  engine.quarncrc_cleanup();
}
BENCHMARK(BM_ScanInProcess);

void BM_ScanThroughPipes(benchmark::State& state) {
  Workdir w;
  quarn::testing::EngineProcess engine(w.dir.path(), {});
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.command("1 SCAN m.txt e.env"));
  }
  engine.quit();
}
BENCHMARK(BM_ScanThroughPipes);

void BM_InvalidCommandThroughPipes(benchmark::State& state) {
  Workdir w;
  quarn::testing::EngineProcess engine(w.dir.path(), {});
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.command("1 NOOP"));
  }
  engine.quit();
}
BENCHMARK(BM_InvalidCommandThroughPipes);

}  // namespace
