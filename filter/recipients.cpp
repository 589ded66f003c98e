#include "filter/recipients.h"

#include "filter/rule_log.h"
#include "message/line_reader.h"
#include "support/text.h"

namespace quarn {
namespace {

constexpr std::size_t kTrimLook = 200;
constexpr std::size_t kAddressInside = 200;
constexpr std::size_t kTextLimit = 999;

}  // namespace

RecipientList makeup_fwd(std::string_view envelope, EnvelopeSender* sender) {
  RecipientList list;
  envelope = cstr_view(envelope);
  std::size_t position = 0;
  std::string_view line;
  while (next_line(envelope, position, line) != 0) {
    if (line.empty()) break;
    if (starts_with_nc(line, "To: ") || starts_with_nc(line, "Cc: ")) {
      rf_add_fwd(list, rf_trim_email(line.substr(4)));
    } else if (starts_with_nc(line, "Bcc: ")) {
      rf_add_fwd(list, rf_trim_email(line.substr(5)));
    } else if (starts_with_nc(line, "From: ")) {
      if (sender != nullptr) sender->return_path = std::string(ncpy(line.substr(6), kTextLimit));
    } else if (starts_with_nc(line, "Ip: ")) {
      if (sender != nullptr) sender->sender_ip = std::string(ncpy(line.substr(4), kTextLimit));
    }
  }
  return list;
}

std::string rf_trim_email(std::string_view text) {
  Tokenizer pieces(ncpy(cstr_view(text), kTrimLook));
  for (std::string_view piece = pieces.next("<>, \t\r\n"); !piece.empty();
       piece = pieces.next("<>, \t\r\n")) {
    if (piece.find('@') != std::string_view::npos) return "<" + std::string(piece) + ">";
  }
  return "Novalidemailfound";
}

void rf_add_fwd(RecipientList& list, std::string_view address) {
  Recipient recipient;
  recipient.address = std::string(address);
  list.insert(list.begin(), std::move(recipient));
}

std::string rf_strip_brackets(std::string_view text) {
  text = cstr_view(text);
  if (!text.starts_with('<')) return std::string(ncpy(text, kTextLimit));
  std::string_view inside = ncpy(text.substr(1), kAddressInside);
  return std::string(inside.substr(0, inside.find('>')));
}

std::string rf_original(const Recipient& recipient) {
  return rf_strip_brackets(recipient.display ? *recipient.display : recipient.address);
}

int rf_already_sending(const RecipientList& list, std::string_view address) {
  const std::string wanted = rf_strip_brackets(address);
  for (const Recipient& recipient : list) {
    if (mystrcmpnc(rf_original(recipient), wanted) == 0) return 1;
  }
  return 0;
}

int rf_set_bounce(Recipient* recipient, std::string_view text, RuleLog& log) {
  if (recipient == nullptr) {
    log.imsg("Cannot bounce as not in recipients block\n");
    return 1;
  }
  recipient->bounced = 1;
  recipient->bounce = std::string(ncpy(text, kBounceTextLimit));
  return 1;
}

std::string bracket_address(std::string_view address) {
  address = cstr_view(address);
  if (address.starts_with('<')) return std::string(ncpy(address, kTextLimit));
  return "<" + std::string(ncpy(address, kAddressInside)) + ">";
}

}  // namespace quarn
