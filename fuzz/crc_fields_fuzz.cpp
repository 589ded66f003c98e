// The FINDCRC signature readers on arbitrary text: the field parser reads
// at most nine fields, check-casing any text it reads back validates, and
// the one-walk reading of a SET signature answers as the two readings do.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "signature/signature_text.h"

using namespace quarn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  PartCrcs crcs{};
  const int count = parse_crc_fields(text, crcs);
  if (count < 0 || count > kPartCount) std::abort();
  const std::string_view signature = text.size() > 1 ? text.substr(1) : text;
  const int valid = validatecrc(signature);
  PartCrcs pieces{}, checked{};
  int checked_valid = -1;
  if (read_checked_pieces(signature, checked, checked_valid) != read_crc_pieces(signature, pieces) ||
      checked != pieces || checked_valid != valid) {
    std::abort();
  }
  read_base36(text);
  if (count == kPartCount) {
    const std::string again = "A" + make_signature_text(crcs);
    PartCrcs back{};
    if (parse_crc_fields(again, back) != kPartCount || back != crcs) std::abort();
    if (validatecrc(std::string_view(again).substr(1)) != 1) std::abort();
  }
  return 0;
}
