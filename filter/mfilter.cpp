#include "filter/mfilter.h"

#include <algorithm>
#include <cstdarg>

#include "filter/filter_run.h"
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

  RunSettings& settings = engine.settings();
  settings.spawn_limit_ms = options.spawn_limit_ms;
  settings.budget_ms = options.budget_ms;
  settings.spawn_allow = options.spawn_allow;
  RunSinks sinks;
  sinks.forward = [&log](void* context, std::string_view address) {
    add_fwd(log, context, address);
  };
  sinks.add_header = options.add_header;
  sinks.process_log = &log;
  FilterRun run(engine, *filter, std::move(sinks));

  std::string result;
  const std::size_t shown = std::min<std::size_t>(
      text.size(), static_cast<std::size_t>(std::max<std::int32_t>(length, 0)));
  const std::string head =
      log_escaped(ncpy(cstr_view(std::string_view(text.data(), shown)), 100));
  log.hook("do_mfilter - Calling rfilter_run(0,%p,%.100s,%p,%d,%p,\"\",%p,%p\n",
           static_cast<void*>(filter), head.c_str(), static_cast<void*>(work.data()), length,
           static_cast<void*>(&recipients), static_cast<void*>(&result),
           static_cast<const void*>(match));
  rfilter_run(run, nullptr, text, work, length, recipients, "", result, match);
  if (run.state().budget_spent) {
    log.emsg("do_mfilter - Time budget of %d ms spent at %s, later conditions read false\n",
             static_cast<int>(run.state().budget_ms), run.state().budget_spent_at.c_str());
  }
  if (options.inspect) options.inspect(run);
  return 1;
}

}  // namespace quarn
