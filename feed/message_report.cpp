#include "feed/message_report.h"

#include <cstdio>

#include "signature/msgcrc.h"
#include "support/log.h"

namespace quarn::feed {

PartCrcs message_crcs(std::string_view message) {
  // The signature code notes odd headers at information level; a report
  // has no use for those notes.
  std::FILE* sink = std::fopen("/dev/null", "w");
  PartCrcs crcs{};
  {
    Log log(sink ? sink : stderr);
    msgcrc(message, crcs, log);
  }
  if (sink) std::fclose(sink);
  return crcs;
}

const char* status_name(std::int32_t status) {
  static const char* const kNames[] = {"Notify", "Suspected", "Spam", "Deleted"};
  return status >= 0 && status < 4 ? kNames[status] : "";
}

const char* type_name(std::int32_t type) {
  static const char* const kNames[] = {"Advertising", "Porn", "Scam (Get rich quick)", "Virus",
                                       "Robot-reported"};
  return type >= 0 && type < 5 ? kNames[type] : "";
}

std::string describe_report(const ReportOutcome& o) {
  if (o.kind == ReportOutcome::kNoMatch) return "no match";
  if (o.kind == ReportOutcome::kNoBody) return "no body to sign, not reported";
  return std::string(o.kind == ReportOutcome::kRaised ? "raised " : "made ") +
         std::to_string(o.id) + " count " + std::to_string(o.count) + " other " +
         std::to_string(o.other) + " status " + status_name(o.status);
}

}  // namespace quarn::feed
