// Signature generation speed on plain and HTML messages, and matching cost
// (beside the bucket walk) and memory per record as the database grows.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "signature/matcher.h"
#include "signature/msgcrc.h"
#include "signature/signature_text.h"
#include "support/log.h"
#include "support/settings.h"

namespace quarn {
namespace {

std::FILE* sink() {
  static std::FILE* f = std::fopen("/dev/null", "w");
  return f;
}

const char kHeaders[] =
    "Return-Path: <someone@example.com>\r\n"
    "Received: from mail.example.com (mail.example.com [192.0.2.1]) by mx.example.net "
    "(mx) with ESMTP id 4A1B2C3D for <user@example.net>; Mon, 1 Sep 2003 10:00:00 +0000\r\n"
    "Received: from [10.0.0.1] by mail.example.com with HTTP; Mon, 1 Sep 2003 09:59:59 +0000\r\n"
    "From: \"Some One\" <someone@example.com>\r\n"
    "To: user@example.net\r\n"
    "Subject: Meeting notes for the quarterly review\r\n"
    "Date: Mon, 1 Sep 2003 10:00:00 +0000\r\n"
    "Message-ID: <20030901100000.12345@mail.example.com>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n";

std::string plain_message(std::size_t size) {
  std::string m = kHeaders;
  std::mt19937 rng(1);
  static const char* words[] = {"the", "quarterly", "figures", "show", "a", "steady", "rise",
                                "in", "orders", "and", "we", "expect", "more", "next", "month"};
  while (m.size() < size) {
    std::string line;
    while (line.size() < 66) line += std::string(words[rng() % 15]) + " ";
    m += line + "\r\n";
  }
  return m;
}

std::string html_message(std::size_t size) {
  std::string m = kHeaders;
  m += "<html><head><style>p { color: red; }</style></head><body>\r\n";
  std::mt19937 rng(2);
  while (m.size() < size - 20) {
    m += "<p><font face=\"Arial\" size=\"2\">Special <b>offer</b> today only</font></p>\r\n";
    m += "<!-- tracking " + std::to_string(rng()) + " --><a href=\"http://example.com/x\">click</a><br>\r\n";
  }
  m += "</body></html>\r\n";
  return m;
}

void run_msgcrc(benchmark::State& state, const std::string& message) {
  Log log(sink());
  PartCrcs crcs;
  for (auto _ : state) {
    msgcrc(message, crcs, log);
    benchmark::DoNotOptimize(crcs);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

void BM_MsgcrcPlain5K(benchmark::State& state) { run_msgcrc(state, plain_message(5000)); }
void BM_MsgcrcHtml20K(benchmark::State& state) { run_msgcrc(state, html_message(20000)); }
BENCHMARK(BM_MsgcrcPlain5K);
BENCHMARK(BM_MsgcrcHtml20K);

void BM_SignatureText(benchmark::State& state) {
  std::mt19937 rng(3);
  PartCrcs crcs;
  for (auto& c : crcs) c = rng();
  for (auto _ : state) {
    std::string text = make_signature_text(crcs);
    benchmark::DoNotOptimize(validatecrc(text));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignatureText);

// Resident memory of this process.
long resident_bytes() {
  long pages = 0;
  long resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * sysconf(_SC_PAGESIZE);
}

// A database of random records plus probes: half share nothing, a quarter
// share their four header parts with a record (partial), a quarter their
// five body parts (full match).
struct MatchWorld {
  explicit MatchWorld(int records)
      : log(sink()), settings(log, SettingsOptions{.path = "/nonexistent/quarncrc.ini"}) {
    settings.init();
    std::mt19937 rng(static_cast<unsigned>(records));
    const long before = resident_bytes();
    db = std::make_unique<SignatureDb>(log);
    std::vector<PartCrcs> stored;
    for (int id = 1; id <= records; ++id) {
      PartCrcs crcs;
      for (auto& c : crcs) c = rng();
      db->put(id, 5, 0, 2, 0, crcs);
      if (id % 97 == 0) stored.push_back(crcs);
    }
    bytes_per_record = static_cast<double>(resident_bytes() - before) / records;
    for (int i = 0; i < 1024; ++i) {
      PartCrcs probe;
      for (auto& c : probe) c = rng();
      const PartCrcs& like = stored[rng() % stored.size()];
      if (i % 4 == 1) std::copy(like.begin(), like.begin() + 4, probe.begin());
      if (i % 4 == 3) std::copy(like.begin() + 4, like.end(), probe.begin() + 4);
      probes.push_back(probe);
    }
  }
  Log log;
  Settings settings;
  std::unique_ptr<SignatureDb> db;
  std::vector<PartCrcs> probes;
  double bytes_per_record = 0;
};

MatchWorld& world(int records) {
  static std::map<int, std::unique_ptr<MatchWorld>> worlds;
  auto& w = worlds[records];
  if (!w) w = std::make_unique<MatchWorld>(records);
  return *w;
}

// Match time per call, median and 99th percentile, of the matcher and of
// the bucket walk it is held to, as the database grows.
void run_match(benchmark::State& state, bool by_walk) {
  MatchWorld& w = world(static_cast<int>(state.range(0)));
  if (by_walk) {
    // The walk's bucket table is built once, outside the timing.
    std::int32_t warm = 0;
    match_by_bucket_walk(*w.db, w.settings, w.probes[0], warm, nullptr);
  }
  std::int32_t partial = 0;
  std::size_t i = 0;
  int matched = 0;
  std::vector<double> times;
  times.reserve(1 << 20);
  for (auto _ : state) {
    SpamScoreList scores;
    const PartCrcs& probe = w.probes[i++ % w.probes.size()];
    const auto start = std::chrono::steady_clock::now();
    const MatchResult r = by_walk ? match_by_bucket_walk(*w.db, w.settings, probe, partial, &scores)
                                  : findarticlematches_fast(*w.db, w.settings, probe, partial, &scores);
    const auto end = std::chrono::steady_clock::now();
    if (times.size() < times.capacity()) times.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    matched += r.matched ? 1 : 0;
  }
  std::sort(times.begin(), times.end());
  state.SetItemsProcessed(state.iterations());
  if (!by_walk) state.counters["bytes_per_record"] = w.bytes_per_record;
  state.counters["full_share"] = static_cast<double>(matched) / static_cast<double>(state.iterations());
  if (!times.empty()) {
    state.counters["median_us"] = times[times.size() / 2];
    state.counters["p99_us"] = times[times.size() * 99 / 100];
  }
}

void BM_Match(benchmark::State& state) { run_match(state, false); }
void BM_MatchByBucketWalk(benchmark::State& state) { run_match(state, true); }
BENCHMARK(BM_Match)->Arg(10000)->Arg(100000)->Arg(1000000)->Arg(5000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MatchByBucketWalk)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Arg(5000000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quarn
