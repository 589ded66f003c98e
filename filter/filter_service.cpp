#include "filter/filter_service.h"

#include "filter/rule_compiler.h"
#include "filter/rules_origin.h"
#include "support/log.h"

namespace quarn {

FilterService::FilterService(Log& log) : log_(log) {
  engine_.log().set_error_logger(debug_hook_logger(log));
  engine_.log().set_info_logger(debug_hook_logger(log));
}

FilterService::~FilterService() { free_filter(); }

std::unique_ptr<RuleFilter> FilterService::compile_mfilter(const std::string& path) {
  RuleCompiler compiler(engine_.log());
  auto filter = compiler.compile(path);
  if (filter) {
    filter->downloaded = is_downloaded_rules(rules_origin_path(path), path);
    log_.imsg("compile_mfilter - Filter okay\n");
  } else {
    log_.imsg("compile_mfilter - Compile failed (%s probably doesn't exist)\n", path.c_str());
  }
  return filter;
}

void FilterService::put_in_service(std::unique_ptr<RuleFilter> filter) {
  filter_ = std::move(filter);
}

FilterService::ReplaceResult FilterService::replace(const std::string& path, int wait_ms,
                                                    const std::function<void()>& on_replaced) {
  MutexHold hold(&mutex_, wait_ms);
  if (!hold) return ReplaceResult::kTimedOut;
  auto filter = compile_mfilter(path);
  if (!filter) return ReplaceResult::kCompileFailed;
  put_in_service(std::move(filter));
  if (on_replaced) on_replaced();
  return ReplaceResult::kReplaced;
}

bool FilterService::load_if_missing(const std::string& path, int wait_ms) {
  MutexHold hold(&mutex_, wait_ms);
  if (!hold) return false;
  if (!filter_) {
    if (auto filter = compile_mfilter(path)) put_in_service(std::move(filter));
  }
  return filter_ != nullptr;
}

void FilterService::free_filter() { filter_.reset(); }

}  // namespace quarn
