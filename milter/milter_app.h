// The milter itself: the libmilter callbacks that collect each message
// into its spool files, scan it at end of message and act on the answer.
//
// Per message (between MAIL FROM and end of message or abort):
// - MAIL FROM, every RCPT TO and the client address make the envelope file;
// - the headers (order, case and folding as received) and the body go to
//   the message file in CR LF form;
// - at end of message one SCAN goes to an engine; then, in this order of
//   precedence:
//     X-Quarn-Match present and reject-match        -> 5xx reject
//     X-SpamDetect total >= reject-score (when set)  -> 5xx reject
//     X-SpamDetect total >= hold-score (when set)    -> hold, headers added
//     otherwise                                      -> headers added, accept
//   The X-Quarn-* and X-SpamDetect headers the message arrived with are
//   removed whenever it is accepted;
// - no answer (engine lost, time-out, spool failure) and ERROR answers take
//   the failure action: tempfail, or accept with an "accepted unscanned" log
//   line; a CLEAN answer (too large to scan) is accepted unscanned too.
// Every message ends with one log line:
//   <queue id>: verdict=<v> total=<t> match=<m> ms=<n> engine=<e>
// where <v> is tagged, held, rejected, tempfail or "accepted unscanned".
//
// Ownership: main() owns the one `MilterApp`; libmilter's callbacks reach it
// through the pointer `install()` registers (libmilter gives its callbacks
// no context of ours before a connection exists). Callbacks run on
// libmilter's threads, one thread per connection at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>

#include "milter/engine_pool.h"
#include "milter/milter_log.h"
#include "milter/options.h"

namespace quarn::milter {

class MilterApp {
 public:
  MilterApp(Logger& log, std::shared_ptr<const Options> options, std::filesystem::path spool,
            EnginePool& engines, std::atomic<int>& timeout_ms);

  // Registers the callbacks with libmilter; false when libmilter refuses.
  bool install();
  // Switches to a reloaded configuration (policy, time-out, log).
  void reload(std::shared_ptr<const Options> options);
  std::shared_ptr<const Options> options() const;
  // Waits until no message is between MAIL FROM and its end, at most `limit`.
  bool wait_idle(std::chrono::milliseconds limit);

  // The callbacks' work (public for the C entry points).
  struct Session;
  Session* session(void* ctx);
  int negotiate(void* ctx, unsigned long f0, unsigned long f1, unsigned long* pf0,
                unsigned long* pf1, unsigned long* pf2, unsigned long* pf3);
  int connect(void* ctx, const void* address);
  int envfrom(void* ctx, char** argv);
  int envrcpt(void* ctx, char** argv);
  int header(void* ctx, const char* name, const char* value);
  int eoh(void* ctx);
  int body(void* ctx, const unsigned char* chunk, std::size_t length);
  int eom(void* ctx);
  int abort(void* ctx);
  int close(void* ctx);

 private:
  void end_message(Session& session);

  Logger& log_;
  mutable std::mutex options_mutex_;
  std::shared_ptr<const Options> options_;
  const std::filesystem::path spool_;
  EnginePool& engines_;
  std::atomic<int>& timeout_ms_;
  std::atomic<std::uint64_t> spool_sequence_{0};
  std::mutex idle_mutex_;
  std::condition_variable idle_;
  int in_flight_ = 0;
};

}  // namespace quarn::milter
