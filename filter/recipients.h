// The envelope recipients of a filter run and the small operations the
// interpreter's actions use on them: build the list from the envelope,
// bounce one recipient, show a recipient's address, tell whether an address
// already receives the message.
//
// Envelope file format (bytes, CR LF or LF), read line by line up to the
// first empty line; a last line without a line end is not read; prefixes
// are compared ignoring case and each line is cut at 9,899 characters and
// at its first CR:
//
//   To: <text>     a recipient (the first address in the text)
//   Cc: <text>     a recipient
//   Bcc: <text>    a recipient
//   From: <text>   the sender text (the "return-path" pseudo-header)
//   Ip: <text>     the sender's IP address (the "sender-ip" pseudo-header)
//   (other lines are ignored)
//
// Recipients are kept newest first, so they appear in reverse order of
// their lines. A recipient's address is the first blank- or bracket-
// separated piece of its text that holds an "@", written "<piece>";
// "Novalidemailfound" when there is none.
//
// Ownership: a `RecipientList` owns its records (the filter seam builds one
// per scan and drops it after the run). Pure functions; any thread, but a
// list is used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn {

class RuleLog;

// One envelope recipient of a filter run.
struct Recipient {
  std::optional<std::string> bounce;   // none until bounced; at most 200 characters
  std::string address;                 // normally in angle brackets
  std::optional<std::string> display;  // shown instead of the address when set
  std::int32_t bounced = 0;            // 0 accepted, 1 bounced or dropped
};

// Element 0 is the head of the list (the newest recipient).
using RecipientList = std::vector<Recipient>;

// Longest bounce text a recipient keeps.
inline constexpr std::size_t kBounceTextLimit = 200;

// The envelope's sender lines; a text stays unset when its line is absent.
struct EnvelopeSender {
  std::optional<std::string> return_path;  // at most 999 characters
  std::optional<std::string> sender_ip;    // at most 999 characters
};

// Builds the recipient list from an envelope text (format above). When
// `sender` is given it receives the From and Ip texts (the last line of
// each kind wins).
RecipientList makeup_fwd(std::string_view envelope, EnvelopeSender* sender = nullptr);

// "<address>" of the first piece of the first 200 characters that holds an
// "@" (pieces split at "<", ">", ",", blank, tab, CR and LF), or
// "Novalidemailfound".
std::string rf_trim_email(std::string_view text);

// Puts a new recipient (the address, no bounce text, no display address,
// not bounced) at the head of the list.
void rf_add_fwd(RecipientList& list, std::string_view address);

// The text without its angle brackets: when it begins with "<", the
// characters after it (at most 200) up to the first ">"; else the text (at
// most 999 characters).
std::string rf_strip_brackets(std::string_view text);

// The display name of a recipient: its display address when set, else its
// address, without brackets.
std::string rf_original(const Recipient& recipient);

// 1 when some recipient's display name equals the address without brackets
// (ignoring ASCII case), else 0.
int rf_already_sending(const RecipientList& list, std::string_view address);

// Bounces a recipient: sets its bounced mark and its bounce text (the first
// 200 characters of `text`). Without a recipient (outside a recipients
// block) logs "Cannot bounce as not in recipients block\n" on the info
// logger and changes nothing. Returns 1.
int rf_set_bounce(Recipient* recipient, std::string_view text, RuleLog& log);

// An address as the forward actions store it: in angle brackets unless it
// already begins with "<" (at most 200 characters inside the brackets; one
// that begins with "<" is kept up to 999 characters).
std::string bracket_address(std::string_view address);

}  // namespace quarn
