#include "filter/rule_engine.h"

#include "message/message_model.h"

namespace quarn {

RuleEngine::RuleEngine() : model_(std::make_unique<MessageModel>()) {}
RuleEngine::~RuleEngine() = default;

}  // namespace quarn
