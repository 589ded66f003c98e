// A reported message's part CRCs and the one-line account of what its
// report did, shared by the `report` command and the server:
//
//   raised <id> count <count> other <other> status <name>
//   made <id> count 1 other 0 status <name>
//   no match                   (a ham report that matches no record)
//   no body to sign, not reported
//
// Safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "feed/store.h"
#include "signature/crc.h"

namespace quarn::feed {

PartCrcs message_crcs(std::string_view message);

std::string describe_report(const ReportOutcome& outcome);

const char* status_name(std::int32_t status);
const char* type_name(std::int32_t type);

}  // namespace quarn::feed
