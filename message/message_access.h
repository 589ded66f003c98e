// What the built-in functions read and change of the message being
// filtered: header values by header index (the index a name has in the
// header-name list the message model was given) and the marks the model
// computes before the rules run. The message model implements it; a test or
// a compile check can use `NoMessage`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarn {

// Most header names one filter may register; the model keeps a slot for each.
inline constexpr std::size_t kMaxHeaders = 100;

// Facts about the message that the model computes before the rules run.
struct MessageMarks {
  std::int32_t ishtml = 0;
  std::int32_t isbase64 = 0;
  std::int32_t isimage = 0;
  std::int32_t isuuencoded = 0;
  std::int32_t isencodedtext = 0;
  std::int32_t isencodedhtml = 0;
  std::int32_t isencodedurl = 0;
  std::int32_t isencoded = 0;
  std::int32_t encoded_lines = 0;
  std::int32_t line_count = 0;
};

// What the run halves read and change of the message being filtered.
// Indexes are header indexes of the current filter.
class MessageAccess {
 public:
  virtual ~MessageAccess() = default;
  virtual int has_header(std::int32_t index) const = 0;
  // The value with its length (empty, never failing, when there is none).
  virtual std::string_view header(std::int32_t index) const = 0;
  virtual std::int32_t header_length(std::int32_t index) const = 0;
  virtual void set_header(std::int32_t index, std::string_view text) = 0;
  virtual const MessageMarks& marks() const = 0;
  // A stamp, never reused, that changes whenever a value may change: while
  // it stays the same, each value keeps its place and its bytes. 0 promises
  // nothing.
  virtual std::uint64_t values_stamp() const { return 0; }
};

// A message without headers or marks.
class NoMessage final : public MessageAccess {
 public:
  int has_header(std::int32_t) const override { return 0; }
  std::string_view header(std::int32_t) const override { return {}; }
  std::int32_t header_length(std::int32_t) const override { return 0; }
  void set_header(std::int32_t, std::string_view) override {}
  const MessageMarks& marks() const override { return marks_; }

 private:
  MessageMarks marks_;
};

}  // namespace quarn
