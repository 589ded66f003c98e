// Placeholder: the message model is being built; until then a run sees a
// message without headers, marks or pseudo-headers.
#include "message/message_model.h"

#include "filter/rule_engine.h"

namespace quarn {

struct MessageModel::Impl {
  MessageMarks marks;
  HtmlStats stats;
  std::vector<std::string> added;
  HdrsAddHook hook;
  std::string message;
};

MessageModel::MessageModel(RuleEngine& engine) : engine_(engine), impl_(std::make_unique<Impl>()) {}
MessageModel::~MessageModel() = default;

int MessageModel::rf_hdrs_process(std::string_view message, std::span<char>, std::string& urls) {
  impl_->message = std::string(message);
  urls.clear();
  return 1;
}
int MessageModel::rf_hdrs_exists(std::int32_t) const { return 0; }
std::string_view MessageModel::rf_hdrs_get(std::int32_t) const { return {}; }
std::int32_t MessageModel::rf_hdrs_getlen(std::int32_t) const { return 0; }
void MessageModel::rf_hdrs_set(std::int32_t, std::string_view) {}
const MessageMarks& MessageModel::marks() const { return impl_->marks; }
void MessageModel::rf_hdrs_add(std::string_view line) {
  if (impl_->hook) {
    impl_->hook(line);
  } else if (impl_->added.size() < kMaxAddedHeaders) {
    impl_->added.emplace_back(line);
  }
}
void MessageModel::mfilter_set_hdrs_add(HdrsAddHook hook) { impl_->hook = std::move(hook); }
bool MessageModel::has_hdrs_add_hook() const { return static_cast<bool>(impl_->hook); }
void MessageModel::rf_hdrs_free() {
  engine_.run().scores.clear();
  impl_->added.clear();
}
int MessageModel::rf_cmpfromto() { return 0; }
void MessageModel::set_return_path(std::string_view) {}
void MessageModel::set_sender_ip(std::string_view) {}
void MessageModel::set_recipient(std::string_view) {}
bool MessageModel::replaced(std::int32_t) const { return false; }
const std::vector<std::string>& MessageModel::added_headers() const { return impl_->added; }
void MessageModel::reset_added_headers() { impl_->added.clear(); }
bool MessageModel::headers_changed() const { return !impl_->added.empty(); }
std::string_view MessageModel::message() const { return impl_->message; }
std::size_t MessageModel::decoded_length() const { return 0; }
const HtmlStats& MessageModel::html_stats() const { return impl_->stats; }
std::string_view MessageModel::head_text() const { return {}; }

std::string rf_get_addr(std::string_view) { return {}; }

}  // namespace quarn
