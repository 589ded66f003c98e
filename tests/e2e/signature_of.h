// The signature text ("A" and the check-cased part CRCs) that SCAN answers
// for a message, computed in the test through the library.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "signature/msgcrc.h"
#include "signature/signature_text.h"
#include "support/log.h"

namespace quarn::testing {

inline std::string signature_of_message(std::string_view message) {
  std::FILE* sink = std::fopen("/dev/null", "w");
  Log log(sink);
  PartCrcs crcs{};
  msgcrc(message, crcs, log);
  std::fclose(sink);
  return "A" + make_signature_text(crcs);
}

}  // namespace quarn::testing
