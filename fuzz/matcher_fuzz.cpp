// The matcher against the bucket walk over arbitrary sequences of puts,
// erases and matches under arbitrary settings: any difference in the
// answer, the partial counter or the score entry aborts.
//
// Input: byte 0 picks the bucket count, bytes 1 to 7 the settings, then
// operations of 11 bytes: kind, id, and nine value bytes (each a small
// value, 0, or a value sharing a bucket with another).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "signature/matcher.h"

using namespace quarn;

namespace {

std::uint32_t value_of(std::uint8_t byte, int buckets) {
  if (byte < 16) return 0;
  if (byte < 128) return byte % 24;
  return static_cast<std::uint32_t>(byte % 24) + static_cast<std::uint32_t>(buckets) * (byte >> 5);
}

std::string describe(const MatchResult& r, std::int32_t partial, const SpamScoreList& scores) {
  std::string text = std::to_string(r.matched) + " " + std::to_string(r.score) + " " + r.status +
                     "|" + r.type + " " + std::to_string(r.count) + " " + std::to_string(r.id) +
                     " " + std::to_string(partial);
  for (const SpamScore& s : scores) text += " " + std::to_string(s.score) + s.name;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  static Log log(sink);
  static const std::string ini = "/tmp/fuzz_matcher_" + std::to_string(::getpid()) + ".ini";
  static Settings settings(log, SettingsOptions{.path = ini});
  if (size < 8) return 0;

  static const char* const kMin[] = {"5", "1", "9", "0", "-1", "3", "10", "2"};
  static const char* const kScore[] = {"8", "0", "17", "18", "-2", "5", "1", "9"};
  static const char* const kTruth[] = {"false", "true", "1", "0"};
  std::string text = std::string("MATCH_MIN ") + kMin[data[1] % 8] + "\nSCORE_MIN " +
                     kScore[data[2] % 8] + "\nRATIO_MIN " + std::to_string(data[3] % 4 - 1) +
                     "\nCOUNT_MIN " + std::to_string(data[4] % 4 - 1) + "\nTRUST_ISSPAM " +
                     kTruth[data[5] % 2] + "\nALLOW_NULL_HEAD " + kTruth[data[6] % 4] +
                     "\nPARTIAL_MATCH " + kTruth[data[7] % 2] + "\n";
  if (std::FILE* f = std::fopen(ini.c_str(), "w")) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
  static const bool loaded = settings.init() == 1;
  (void)loaded;
  settings.reload();

  const int buckets = data[0] % 2 == 0 ? 1 + data[0] % 13 : 10000;
  SignatureDb db(log, buckets);
  for (std::size_t at = 8; at + 11 <= size; at += 11) {
    const std::uint8_t* op = data + at;
    const auto id = static_cast<std::int32_t>(op[1] % 40 + 1);
    PartCrcs crcs;
    for (int p = 0; p < kPartCount; ++p) crcs[p] = value_of(op[2 + p], buckets);
    switch (op[0] % 4) {
      case 0:
      case 1:
        db.put(id, op[1] % 5 - 1, op[0] >> 6, (op[0] >> 2) % 5, op[1] >> 5, crcs);
        break;
      case 2:
        db.erase(id);
        break;
      default: {
        std::int32_t fast_partial = 0;
        std::int32_t walk_partial = 0;
        SpamScoreList fast_scores;
        SpamScoreList walk_scores;
        const MatchResult fast = findarticlematches_fast(db, settings, crcs, fast_partial, &fast_scores);
        const MatchResult walk = match_by_bucket_walk(db, settings, crcs, walk_partial, &walk_scores);
        if (describe(fast, fast_partial, fast_scores) != describe(walk, walk_partial, walk_scores)) {
          std::fprintf(stderr, "fast %s\nwalk %s\n", describe(fast, fast_partial, fast_scores).c_str(),
                       describe(walk, walk_partial, walk_scores).c_str());
          std::abort();
        }
      }
    }
  }
  return 0;
}
