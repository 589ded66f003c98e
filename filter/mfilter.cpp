#include "filter/mfilter.h"

#include <algorithm>
#include <cstdarg>

#include "filter/interpreter.h"
#include "filter/recipients.h"
#include "message/message_model.h"
#include "support/log.h"
#include "support/mutex.h"
#include "support/text.h"

namespace quarn {

void msgwrap(Log& log, const char* fmt, ...) {
  std::string text;
  std::va_list args;
  va_start(args, fmt);
  vlprintf(text, kLineSize, fmt, args);
  va_end(args);
  log.imsg("%s", text.c_str());
}

void add_fwd(Log& log, void* /*context*/, std::string_view address) {
  const std::string copy = log_escaped(cstr_view(address));
  msgwrap(log, "Attempted to add forward to message (%s)\n", copy.c_str());
}

int do_mfilter(FilterService& service, Log& log, std::span<char> text, std::span<char> work,
               std::int32_t length, std::string_view envelope, const SpamScoreList* match,
               const MfilterOptions& options) {
  MutexHold hold(&service.mutex(), options.mutex_wait_ms);
  if (!hold) {
    log.emsg("do_mfilter - Failed to obtain mutex for 15 seconds\n");
    return 0;
  }
  if (service.in_service() == nullptr) {
    log.imsg("do_mfilter - No current filter loaded\n");
    auto filter = service.compile_mfilter(options.filter_path);
    if (!filter) return 0;
    service.put_in_service(std::move(filter));
  }
  RuleFilter* filter = service.in_service();
  RuleEngine& engine = service.engine();
  MessageModel& model = engine.model();

  EnvelopeSender sender;
  RecipientList recipients = makeup_fwd(envelope, &sender);
  // An envelope without these lines leaves them empty: they never carry
  // over from the previous message.
  model.set_return_path(sender.return_path.value_or(""));
  model.set_sender_ip(sender.sender_ip.value_or(""));

  RunState& run = engine.run();
  run.add_fwd = [&log](void* context, std::string_view address) {
    add_fwd(log, context, address);
  };
  run.process_log = &log;
  run.spawn_limit_ms = options.spawn_limit_ms;
  run.budget_ms = options.budget_ms;
  run.spawn_allow = options.spawn_allow;

  std::string result;
  const std::size_t shown = std::min<std::size_t>(
      text.size(), static_cast<std::size_t>(std::max<std::int32_t>(length, 0)));
  const std::string head =
      log_escaped(ncpy(cstr_view(std::string_view(text.data(), shown)), 100));
  log.hook("do_mfilter - Calling rfilter_run(0,%p,%.100s,%p,%d,%p,\"\",%p,%p\n",
           static_cast<void*>(filter), head.c_str(), static_cast<void*>(work.data()), length,
           static_cast<void*>(&recipients), static_cast<void*>(&result),
           static_cast<const void*>(match));
  rfilter_run(engine, nullptr, filter, text, work, length, recipients, "", result, match);
  if (run.budget_spent) {
    log.emsg("do_mfilter - Time budget of %d ms spent at %s, later conditions read false\n",
             static_cast<int>(run.budget_ms), run.budget_spent_at.c_str());
  }

  // The hooks name this call's log; they must not outlive it.
  run.add_fwd = nullptr;
  run.process_log = nullptr;
  return 1;
}

}  // namespace quarn
