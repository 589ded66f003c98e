// The message model: what one filter run knows about the message.
//
// `build` turns the raw message into header values held in slots
// parallel to the header-name list it is given (index i belongs to name i;
// the rule engine passes its filter's header-name table), pseudo-headers
// ("body", "rawbody", "full", "urls", "recipient", "return-path",
// "sender-ip", "head", "to-addr", "from-addr"), the message marks and
// counters, and the heuristic flags the message earned; it drives the MIME
// walk, the URL scan and the HTML strip on the way. The model knows nothing
// of rules: it returns what it found, and the rule engine turns the flag
// names into flags of its filter. The built-in functions read the model
// through `MessageAccess`; `replace` changes values through `set_header`;
// header lines the filter hands it are kept in `added_headers` for the
// rewrite of the message file (a run that answers the engine directly sends
// its lines to its own sink and never here).
//
// The header scan reads the message line by line (a line is at most 9,899
// characters, cut at its first CR; a last line without a newline is never
// seen) up to the first empty line. A line starting with a blank or a tab
// continues the header last matched: its value becomes the first 400
// characters of the old value, "\n" and the first 400 characters of the
// line without its leading blanks. Any other line is matched against every
// name as a prefix, ignoring case and without looking past the name (so
// "to" matches "Topic:"); a matching slot takes the text from two characters
// after the name on (colon and one more character), leading blanks skipped
// except for "body"; the last matching name takes later folds. "to-addr" and
// "from-addr" take the address of "To:" and "From:" lines (`rf_get_addr` of
// the text from the fifth or the seventh character on). Lines other than the
// empty one join "head" while 1,000 of its 3,200 characters stay free.
//
// After the empty line the pseudo-headers are set (borrowed: they view the
// run's texts and cannot be replaced): "body" the visible text, "rawbody"
// the text after the empty line, "full" the message, "urls" the URL list,
// "recipient" the current recipient, "return-path" and "sender-ip" the
// envelope texts when the message had no such header line and the text is
// not empty. Then at most 100 body lines set the encoding marks (uuencode
// "begin " lines and their 61-character "M" lines, yEnc "=ybegin", base64
// lines, part headers, "<html>" in the first three lines). A message
// without an empty line has none of these.
//
// Lifetime: values and added lines live from `build` to
// `clear` of one run; the marks and counters keep their last values
// until the next `build`; the envelope texts persist until
// changed.
//
// Owner: whoever runs the filter (the rule engine keeps one), used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "message/heuristics.h"
#include "message/html_strip.h"
#include "message/message_access.h"

namespace quarn {

class MessageModel final : public MessageAccess {
 public:
  // Size of the decoded-text work buffer a run needs.
  static constexpr std::size_t kDecodedSize = 100000;
  // Most header lines kept for the rewrite.
  static constexpr int kMaxAddedHeaders = 90;
  // At most this many characters of each envelope text are kept.
  static constexpr std::size_t kEnvelopeTextLimit = 999;

  MessageModel();
  ~MessageModel() override;
  MessageModel(const MessageModel&) = delete;
  MessageModel& operator=(const MessageModel&) = delete;

  // Builds the model of `message` (the message text, which ends at its first
  // NUL byte if it has one) for the header names the rules want (the first
  // kMaxHeaders count; the names must outlive the run). `decoded` is the caller's
  // work buffer (at least kDecodedSize bytes) and receives the decoded text;
  // `urls` receives the URL list. Returns 1.
  int build(std::string_view message, std::span<char> decoded, std::string& urls,
                      std::span<const std::string> header_names);

  // The heuristic flags the last `build` found (message/heuristics.h).
  const HeuristicFlags& heuristic_flags() const;

  // MessageAccess: values by header index of the current filter.
  int has_header(std::int32_t index) const override;
  std::string_view header(std::int32_t index) const override;
  std::int32_t header_length(std::int32_t index) const override;
  // Nothing for a negative index or a borrowed slot; else the slot takes a
  // copy and is marked replaced.
  void set_header(std::int32_t index, std::string_view text) override;
  const MessageMarks& marks() const override;
  std::uint64_t values_stamp() const override;

  // Keeps a header line (without line end) while fewer than 90 are held.
  void add_header(std::string_view line);

  // Ends a run: frees every value that is not borrowed and drops the added
  // lines.
  void clear();

  // 1 when the From address (the last piece holding "@" of the value at
  // `from_index`, split at "(<>)") occurs in the value at `to_index`,
  // ignoring case; the caller sets the flag "fromeqto" then.
  int from_in_to(std::int32_t to_index, std::int32_t from_index) const;

  // Envelope texts set by the filter layer before a run (the "return-path"
  // and "sender-ip" pseudo-headers), each cut to 999 characters.
  void set_return_path(std::string_view text);
  void set_sender_ip(std::string_view text);
  // The interpreter's current recipient display name (the "recipient"
  // pseudo-header reads it with its current length), cut to 999 characters.
  void set_recipient(std::string_view text);

  // For the rewrite of the message file.
  bool replaced(std::int32_t index) const;
  const std::vector<std::string>& added_headers() const;
  // Forgets the added lines.
  void reset_added_headers();
  // True when any value was replaced or any line added during this run.
  bool headers_changed() const;

  // What the run used: the message text, the decoded length after the HTML
  // strip (it limits the fast phrase scan), the HTML counters, "head".
  std::string_view message() const;
  std::size_t decoded_length() const;
  const HtmlStats& html_stats() const;
  std::string_view head_text() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The address inside the angle brackets of an address text: a display name
// in double quotes (a quote after a backslash does not close it) is passed
// over, the address runs from the first "<" after it to the next ">" (or to
// the end of the text), and a quoted local part may hold ">". Empty when
// there is no "<" or the display name's quote is never closed; an address
// whose own opening quote is never closed ends at its first ">".
std::string rf_get_addr(std::string_view text);

}  // namespace quarn
