// A message model with the header names and the buffers a run needs, for
// tests that drive the model alone. It keeps the flag names the model
// reports in a table the way a filter would: "html_encoded" and
// "__unusable_msgid" first, then each heuristic flag as it is earned.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "message/message_model.h"

namespace quarn::testing {

class ModelRun {
 public:
  ModelRun() = default;
  ModelRun(const ModelRun&) = delete;
  ModelRun& operator=(const ModelRun&) = delete;

  MessageModel& model() { return model_; }

  // Registers header names (as a rules file naming them would).
  void names(std::span<const std::string_view> list) {
    for (std::string_view name : list) header_index(name);
  }
  void names(std::initializer_list<std::string_view> list) {
    names(std::span<const std::string_view>(list.begin(), list.size()));
  }
  // The registered header names, in index order.
  const std::vector<std::string>& headers() const { return headers_; }
  // Index of a header name, or -1 when it is not registered.
  std::int32_t index(std::string_view name) const;

  // Builds the model for the registered names; "to" is registered after it.
  int process(std::string_view message);
  // The From-in-To test with "to" and "from" registered first; sets the flag
  // "fromeqto" when it holds.
  int cmpfromto();

  // The value of a registered header name ("" for an unknown name).
  std::string value(std::string_view name) {
    return std::string(model_.header(index(name)));
  }
  bool exists(std::string_view name) {
    const std::int32_t i = index(name);
    return i >= 0 && model_.has_header(i) == 1;
  }
  // A flag's value; 0 for a name that is not registered.
  std::int32_t flag(std::string_view name) const;
  // The names of the flags that are not 0, in table order, blank-separated.
  std::string flags_set() const;

  std::vector<char> decoded = std::vector<char>(MessageModel::kDecodedSize);
  std::string urls;

 private:
  std::int32_t header_index(std::string_view name);
  void set_flag(std::string_view name, std::int32_t value);

  MessageModel model_;
  std::vector<std::string> headers_;
  std::vector<std::string> flag_names_;
  std::vector<std::int32_t> flag_values_;
};

// "name value" pairs of the marks that are not 0, blank-separated, e.g.
// "ishtml isbase64 encoded_lines=3".
std::string marks_text(const MessageMarks& marks);

}  // namespace quarn::testing
