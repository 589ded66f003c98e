// The seam between the engine's SCAN command and the rule engine: run the
// filter in service over one message and its envelope.
//
// `do_mfilter` takes the filter mutex (15 seconds at most), compiles
// "filter.dat" when no filter is in service yet (the new one stays in
// service; a file that does not compile leaves none, and the next scan
// tries again), builds the recipient list and the sender texts from the
// envelope (filter/recipients.h), builds a run for this message with this
// call's sinks (the log, the forward copies, the caller's add-header sink),
// runs the interpreter and drops the list. The per-recipient outcome stays
// inside the run. Forward copies are only logged
// ("Attempted to add forward to message (%s)\n"): the engine delivers none.
//
// Log lines (the engine's log): "do_mfilter - Failed to obtain mutex for 15
// seconds\n" (error), "do_mfilter - No current filter loaded\n" (info), the
// compile texts of `FilterService::compile_mfilter`, and, through the debug
// hook, "do_mfilter - Calling rfilter_run(...)".
//
// Called by the scanning thread; everything it touches of the rule engine
// is used with the filter mutex held.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "filter/filter_service.h"
#include "filter/spawn.h"
#include "signature/spam_score.h"

namespace quarn {

class FilterRun;
class Log;

struct MfilterOptions {
  std::string filter_path = "filter.dat";
  int mutex_wait_ms = kFilterScanWaitMs;         // how long a scan waits for the filter
  std::int64_t spawn_limit_ms = kSpawnLimitMs;   // how long spawn() waits for its child
  std::int64_t budget_ms = kFilterBudgetMs;      // time budget of the run (0: none)
  std::string spawn_allow;                       // programs downloaded rules may spawn
  // Where the header lines an accepted run adds go (without line end); none:
  // the message file would be rewritten, and this seam passes no file.
  std::function<void(std::string_view line)> add_header;
  // Called with the finished run, still under the filter mutex (the tool
  // reads the flags); none: nothing.
  std::function<void(const FilterRun& run)> inspect;
};

// Runs the filter in service over `text` (the writable message buffer; the
// first `length` bytes are filtered and a terminator is written after
// them). `work` is a second buffer that receives the decoded text,
// `envelope` the envelope file's text, `match` the scan's signature-match
// result or null. 1 when the filter ran (also when the envelope names no
// recipient), 0 when it did not (mutex not obtained, no filter).
int do_mfilter(FilterService& service, Log& log, std::span<char> text, std::span<char> work,
               std::int32_t length, std::string_view envelope, const SpamScoreList* match,
               const MfilterOptions& options = {});

// Formats a message into at most 999 characters and logs it at info level.
void msgwrap(Log& log, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The forward-copy callback: logs "Attempted to add forward to message
// (%s)\n" at info level.
void add_fwd(Log& log, void* context, std::string_view address);

}  // namespace quarn
