// Whole SCAN throughput of the real binary through its pipes, the way a
// mail server drives it: signature, matching against a database of 100,000
// signature records (loaded with UDCMD lines), and the rule filter, over
// corpus messages of 5 KB to 50 KB. The engine is pinned to one processor,
// the driver to the others.
//
// Variants: the examples/ rules file without records; the same with the
// records; a 200-rule file (examples/ plus generated header and body
// rules) with the records, one command at a time and pipelined. Counters:
// messages per second (wall clock), messages per second of the engine's own
// processor time, and the engine's peak resident memory (VmHWM) in MB.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/process_stats.h"
#include "signature/signature_text.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using quarn::testing::EngineProcess;
using quarn::testing::TempDir;

constexpr std::size_t kMinBytes = 5 * 1024;
constexpr std::size_t kMaxBytes = 50 * 1024;
constexpr std::size_t kMaxMessages = 300;
constexpr int kRecords = 100000;
constexpr int kExtraRules = 150;

std::string read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Corpus messages of 5 to 50 KB (examples/ padded to 5 KB when the corpus is
// absent).
std::vector<std::string> corpus_messages() {
  std::vector<std::string> out;
  for (const char* dir : {"/work/shared/corpus/spam-1", "/work/shared/corpus/easy-ham-2"}) {
    if (!fs::is_directory(dir)) continue;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      const auto size = fs::file_size(file);
      if (size < kMinBytes || size > kMaxBytes) continue;
      out.push_back(read_whole(file));
      if (out.size() >= kMaxMessages) return out;
    }
  }
  if (out.empty()) {
    for (const auto& entry : fs::directory_iterator(QUARN_SOURCE_DIR "/examples/messages")) {
      if (entry.path().extension() != ".eml") continue;
      std::string m = read_whole(entry.path());
      while (m.size() < kMinBytes) m += "Padding line of an example message body.\r\n";
      out.push_back(m);
    }
  }
  return out;
}

// Header and body rules over words of the corpus, most of which never hold.
std::string generated_rules(const std::vector<std::string>& messages) {
  std::vector<std::string> words;
  for (const std::string& m : messages) {
    std::string word;
    for (char c : m) {
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        word.push_back(static_cast<char>(c | 0x20));
      } else {
        if (word.size() >= 5) words.push_back(word);
        word.clear();
      }
    }
    if (words.size() > 100000) break;
  }
  if (words.size() < 2) words = {"alpha", "bravo", "charlie", "delta"};
  std::mt19937 random(11);
  const char* headers[] = {"subject", "from", "body", "urls", "received", "body"};
  std::string rules = "\n# ---- generated rules ----\n";
  for (int i = 0; i < kExtraRules; ++i) {
    const std::string& a = words[random() % words.size()];
    const std::string& b = words[random() % words.size()];
    const char* header = headers[i % 6];
    rules += "if (rexp(" + std::string(header) + ", \"\\b" + a + "\\s+" + b +
             "\\b\")) and (spamdetect(0.3, gen" + std::to_string(i) + ")) add(rules_hit, 1)\n";
  }
  return rules;
}

// A signature record with random part values.
std::string set_line(int id, std::mt19937& random) {
  quarn::PartCrcs crcs{};
  for (auto& c : crcs) c = static_cast<std::uint32_t>(random());
  return "UDCMD SET|" + std::to_string(id) + "|1000|" + std::to_string(1 + id % 50) + "|0|2|" +
         std::to_string(id % 5) + "|A" + quarn::make_signature_text(crcs) + "|\n";
}

using quarn::bench::cpu_seconds;
using quarn::bench::peak_rss_kb;

// One SCAN at a time (send, wait for the answer), as a mail server drives
// the engine; or, pipelined, up to 64 commands ahead of the answers, which
// shows the engine's own rate without the round trips.
void BM_ScanThroughput(benchmark::State& state, bool records, bool extra_rules, bool pipelined) {
  TempDir dir;
  const std::vector<std::string> messages = corpus_messages();
  std::string filter = read_whole(QUARN_SOURCE_DIR "/examples/filter.dat");
  if (extra_rules) filter += generated_rules(messages);
  dir.write("filter.dat", filter);
  dir.write("quarncrc.ini", std::string(quarn::testing::kTestIni));
  dir.write("m.env", "From: <sender@example.net>\nIp: 192.0.2.10\nTo: <a@example.com>\n"
                     "To: <b@example.com>\n\n");
  for (std::size_t i = 0; i < messages.size(); ++i) {
    dir.write("m" + std::to_string(i) + ".eml", messages[i]);
  }

  EngineProcess engine(dir.path());
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(0, &one);
  sched_setaffinity(engine.pid(), sizeof one, &one);
  // The driver keeps to the other processors: had the scheduler put it on
  // the engine's now and then, handing a command over would sometimes be a
  // switch on one processor and sometimes a wake-up across processors, and
  // the engine's time per message would swing with that.
  const long processors = std::min<long>(sysconf(_SC_NPROCESSORS_ONLN), CPU_SETSIZE);
  cpu_set_t others;
  CPU_ZERO(&others);
  for (long cpu = 1; cpu < processors; ++cpu) CPU_SET(cpu, &others);
  if (CPU_COUNT(&others) > 0) sched_setaffinity(0, sizeof others, &others);
  if (records) {
    std::mt19937 random(5);
    std::string batch;
    for (int id = 1; id <= kRecords; ++id) {
      batch += set_line(id, random);
      if (batch.size() > 1 << 16) {
        engine.send_raw(batch);
        batch.clear();
      }
    }
    engine.send_raw(batch);
  }
  // The answer to this comes after every record has been applied.
  const std::string ready = engine.command("0 FINDCRC A", std::chrono::milliseconds(600000));
  if (ready.empty()) state.SkipWithError("engine did not answer");

  constexpr std::size_t kWindow = 64;
  std::size_t sent = 0;
  std::size_t bytes = 0;
  auto send_next = [&] {
    const std::size_t i = sent++ % messages.size();
    engine.send("1 SCAN m" + std::to_string(i) + ".eml m.env");
    bytes += messages[i].size();
  };
  const auto total = static_cast<std::size_t>(state.max_iterations);
  std::size_t answered = 0;
  const double cpu_before = cpu_seconds(engine.pid());
  for (auto _ : state) {
    if (!pipelined) {
      send_next();
    } else {
      while (sent < total && sent < answered + kWindow) send_next();
    }
    ++answered;
    const std::string answer = engine.read_answer(std::chrono::seconds(60));
    if (answer.size() < 2 || answer.substr(answer.size() - 2) != ".\n") {
      state.SkipWithError("incomplete answer");
      break;
    }
  }
  const double cpu = cpu_seconds(engine.pid()) - cpu_before;
  state.counters["msgs_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  // Messages per second of the engine's own processor time (one core).
  state.counters["msgs_per_cpu_s"] =
      cpu > 0 ? static_cast<double>(state.iterations()) / cpu : 0.0;
  state.counters["peak_rss_MB"] = static_cast<double>(peak_rss_kb(engine.pid())) / 1024.0;
  state.counters["messages"] = static_cast<double>(messages.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  engine.quit(std::chrono::seconds(60));
}

// QUARN_SCAN_ITERATIONS in the environment sets another count, for example
// to keep the engine scanning long enough to profile it.
int scan_iterations() {
  const char* text = std::getenv("QUARN_SCAN_ITERATIONS");
  const int n = text == nullptr ? 0 : std::atoi(text);
  return n > 0 ? n : 3000;
}

#define QUARN_SCAN_BENCH(name, ...)                     \
  BENCHMARK_CAPTURE(BM_ScanThroughput, name, __VA_ARGS__) \
      ->Iterations(scan_iterations())                     \
      ->UseRealTime()                                     \
      ->Unit(benchmark::kMicrosecond)

QUARN_SCAN_BENCH(examples_filter, false, false, false);
QUARN_SCAN_BENCH(examples_filter_100k_records, true, false, false);
QUARN_SCAN_BENCH(filter_200_rules_100k_records, true, true, false);
QUARN_SCAN_BENCH(filter_200_rules_100k_records_pipelined, true, true, true);

#undef QUARN_SCAN_BENCH

}  // namespace
