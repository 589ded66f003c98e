// Matching a message's part CRCs against the signature database.
//
// Every part p of the scanned message selects the index bucket of its value;
// the nine buckets are walked in part order, each newest entry first, and
// every entry's record is scored against the message: part k agrees when
// the two values are equal and, for a header part (k < 4), the scanned
// value is not 0 or ALLOW_NULL_HEAD is true. n is the number of agreeing
// parts, S the sum of their weights (1, 1, 2, 3, 2, 2, 2, 2, 2).
//
// A record takes part when its count is at least COUNT_MIN and its other
// count is 0 or count / other count (integer division) exceeds RATIO_MIN.
// The first such record in visiting order with n >= MATCH_MIN and
// S >= SCORE_MIN (or status Spam while TRUST_ISSPAM is true) is the full
// match. Otherwise the best S seen (the first record to reach it) is a
// partial match, reported when PARTIAL_MATCH is true as a score of
// S * 6 / 17.
//
// Visiting order: the nine buckets of the scanned values (signature_db.h)
// in part order, each newest entry first; a record is visited once for each
// of its entries there, with the same result each time. Only records that
// agree in some part can raise the best score or match while MATCH_MIN is
// above 0, and each of them sits on the value list of a part it agrees in.
// So the matcher gathers the records of the agreeing parts' value lists,
// orders them by their first visit (the earliest walked bucket holding one
// of their entries, then the newest such entry) and scores them in that
// order: the answer of the whole walk at a cost that depends on the
// agreeing records alone. With MATCH_MIN 0 or below a record agreeing in
// nothing can match, and the buckets themselves are walked.
//
// Engine use: SCAN passes its CRC Partial Match counter and the score list
// it hands the rule filter; FINDCRC passes CRC Late Partial Match and no
// list. `MatchResult::matched` tells a full match (its score may be 0 under
// unusual settings).
//
// Threads: called by the main thread (SCAN, FINDCRC); takes the database
// mutex for the whole match. MATCH_MIN, RATIO_MIN, COUNT_MIN and
// ALLOW_NULL_HEAD are read at each call, SCORE_MIN and TRUST_ISSPAM when the
// full-match test is first reached, PARTIAL_MATCH after the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "signature/crc.h"
#include "signature/signature_db.h"
#include "signature/spam_score.h"
#include "support/settings.h"

namespace quarn {

// How long matching waits for the database mutex.
inline constexpr int kMatchWaitMs = 15000;

struct MatchResult {
  bool matched = false;     // a full match was found
  int score = 0;            // its weighted score S; 0 without a full match
  const char* status = "None";
  const char* type = "None";
  std::int32_t count = 0;
  std::int32_t id = 0;
};

// Matches `crcs` against `db`. On a full match the result names the
// record (status and type names, count, id) and, when `scores` is given, a
// "QuarnCRC Match" entry of 6.0 is put at its front. Without one, a partial
// match (PARTIAL_MATCH true, best score B not 0) adds one to
// `partial_counter` and, when `scores` is given, puts an entry of B * 6 / 17
// named "QuarnCRC Partial (+<score>,<parts>)" (at most 998 characters) at
// its front. When the database mutex cannot be had within `wait_ms`, logs
// "findarticlematches_fast - Could not obtain mutex for 15 seconds\n" and
// reports no match.
MatchResult findarticlematches_fast(SignatureDb& db, Settings& settings, const PartCrcs& crcs,
                                    std::int32_t& partial_counter, SpamScoreList* scores,
                                    int wait_ms = kMatchWaitMs);

// The same answers, found by walking all nine buckets entry by entry: the
// reference that tests and benchmarks hold the matcher to. Builds the
// database's bucket table on first use.
MatchResult match_by_bucket_walk(SignatureDb& db, Settings& settings, const PartCrcs& crcs,
                                 std::int32_t& partial_counter, SpamScoreList* scores,
                                 int wait_ms = kMatchWaitMs);

// The parts in which `a` and `b` agree, as ",From,Subject,Received,
// Message ID,Body 1,...,Body 5" labels in part order, kept below `size`
// characters. A header label needs a value of `a` that is not 0 unless
// `allow_null_head` (ALLOW_NULL_HEAD read as a number) is set.
std::string domatchtypes(const PartCrcs& a, const PartCrcs& b, bool allow_null_head,
                         std::size_t size);

}  // namespace quarn
