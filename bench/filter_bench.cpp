// Rule engine benchmarks: compiling a rules file of 1,000 regular-expression
// rules and 500 fast phrases, and the fast phrase scan over 50 KB of real
// mail text with those 500 phrases.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filter/filter_run.h"
#include "filter/rule_compiler.h"
#include "filter/rule_engine.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kTextBytes = 50 * 1024;

// Mail text from the shared corpus (or the examples when it is absent).
std::string corpus_text() {
  std::string text;
  for (const char* dir : {"/work/shared/corpus/spam-1", QUARN_SOURCE_DIR "/examples/messages"}) {
    if (!fs::is_directory(dir)) continue;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      text += s.str();
      if (text.size() >= kTextBytes) return text.substr(0, kTextBytes);
    }
  }
  while (!text.empty() && text.size() < kTextBytes) text += text;
  return text.substr(0, kTextBytes);
}

// Word pairs of the text become phrases, so the scan finds some of them.
std::vector<std::string> phrases_from(const std::string& text, std::size_t count) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      word.push_back(static_cast<char>(c | 0x20));
    } else {
      if (word.size() >= 4) words.push_back(word);
      word.clear();
    }
  }
  std::mt19937 random(7);
  std::set<std::string> unique;
  while (unique.size() < count && words.size() > 1) {
    const std::size_t i = random() % (words.size() - 1);
    // Half of the phrases are pairs that occur, half never occur.
    unique.insert(unique.size() % 2 == 0 ? words[i] + "\\s+" + words[i + 1]
                                         : words[i] + "\\s+zq" + words[i + 1]);
  }
  return {unique.begin(), unique.end()};
}

struct Fixture {
  Fixture() {
    char pattern[] = "/tmp/bench_filter_XXXXXX";
    dir = mkdtemp(pattern);
    text = corpus_text();
    const auto phrases = phrases_from(text, 1500);
    std::ofstream out(dir + "/filter.dat");
    for (std::size_t i = 0; i < 1000; ++i) {
      out << "if (rexp(" << (i % 3 == 0 ? "body" : "subject") << ", \"" << phrases[i]
          << "\")) reject rule" << i << "\n";
    }
    for (std::size_t i = 1000; i < 1500; ++i) {
      out << "call rexp_fast(1.5, \"" << phrases[i] << "\", phrase" << i << ")\n";
    }
  }
  ~Fixture() { if (!std::getenv("QUARN_BENCH_KEEP")) fs::remove_all(dir); }

  std::string dir;
  std::string text;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_CompileRules(benchmark::State& state) {
  Fixture& f = fixture();
  quarn::RuleLog log;
  quarn::RuleCompiler compiler(log);
  for (auto _ : state) {
    auto filter = compiler.compile(f.dir + "/filter.dat");
    if (!filter || filter->lines.size() != 1500 || filter->phrases.size() != 500) {
      state.SkipWithError("compile failed");
      break;
    }
  }
}
BENCHMARK(BM_CompileRules)->Unit(benchmark::kMillisecond);

void BM_FastScan(benchmark::State& state) {
  Fixture& f = fixture();
  quarn::RuleEngine engine;
  auto filter = quarn::RuleCompiler(engine.log()).compile(f.dir + "/filter.dat");
  if (!filter) {
    state.SkipWithError("compile failed");
    return;
  }
  quarn::FilterRun run(engine, *filter);
  std::size_t found = 0;
  for (auto _ : state) {
    run.state().scores.clear();
    run.fast_scan(f.text, f.text.size());
    found = static_cast<std::size_t>(
        std::distance(run.state().scores.begin(), run.state().scores.end()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.text.size()));
  state.counters["phrases_found"] = static_cast<double>(found);
}
BENCHMARK(BM_FastScan)->Unit(benchmark::kMillisecond);

}  // namespace
