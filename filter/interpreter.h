// The rule interpreter: runs a compiled rules file over one message and its
// envelope recipients.
//
// A run builds the message model, scans the visible text once for the fast
// phrases, then walks the compiled lines in order. Conditions are chains of
// built-in function calls joined by "and" (a comparison takes the next
// expression as its right-hand side; evaluation stops at the first false
// part, so later functions and their effects do not run). `if ... then`
// opens a block that a false condition skips up to its `else` or `end`;
// the lines of a `recipients` block run once per recipient, and a bounce or
// drop there judges that recipient alone. Actions: accept, reject/bounce,
// drop, forward/redirect, redirect_cc, print, setflag, clearflag, set, add,
// sub, score_one, score_all.
//
// The outcome is written into the recipient records (no bounce text:
// accepted; "570 ...": rejected or bounced; "999 ...": dropped), into the
// result text and into the return value. Only a run that ends with some
// recipient or forward copy accepted hands its forward copies on, totals
// its spam scores (which may add the "X-SpamDetect:" header line) and
// writes its header changes back: to the run's add-header sink when it has
// one, else by rewriting the message file.
//
// Log lines go to the rule engine's loggers; with its trace switch on, every
// line walked, every expression result and the final verdict of each
// recipient are traced too. Elapsed times go to the engine's timings (whole
// runs, the fast phrase scan).
//
// One run at a time per engine, under the filter mutex.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "filter/recipients.h"
#include "signature/spam_score.h"

namespace quarn {

class FilterRun;

// Runs the run's filter over the message; `run` is built for this message.
//
// `text` is the writable message buffer: the message is its first `length`
// bytes (cut to the buffer less one) and a terminator is written after
// them. `work` receives the decoded text; when it is smaller than the model
// needs, a buffer of the engine's own is used instead. `context` is handed
// to the run's forward sink unchanged; `path` is the message file, which
// reports copy and which the rewrite replaces (may be empty); `result`
// receives the result text (at most 999 characters); `match` is the scan's
// signature-match result or null.
//
// Returns 1 when at least one recipient or forward copy stays accepted, 0
// when the message is bounced as a whole or cannot be filtered (no
// recipients: "rrun: No 'To:' addresses specified, cannot run filter\n" on
// both loggers, result untouched; an empty buffer). The whole run's time is
// added to the engine's timings.
int rfilter_run(FilterRun& run, void* context, std::span<char> text, std::span<char> work,
                std::int32_t length, RecipientList& recipients, std::string_view path,
                std::string& result, const SpamScoreList* match);

// Builds the engine's message model of `message` for the run's filter:
// every flag starts at 0, the flags "html_encoded" and "__unusable_msgid"
// are registered, the model reads the filter's header names, the heuristic
// flags it found are registered and set to 1, and "to" is registered as a
// header.
void build_model(FilterRun& run, std::string_view message, std::span<char> decoded);

// Sets the flag "fromeqto" when the From address occurs in the To header
// (both names registered first); 1 when it was set.
int set_fromeqto(FilterRun& run);

// Empties the run's forward-copy list. Returns 1.
int rf_forward_cc_free(FilterRun& run);

}  // namespace quarn
