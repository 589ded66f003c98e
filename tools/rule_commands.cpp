// lint and trace: a rules file checked, a message's run shown.
#include "tools/tool.h"

namespace quarn::tool {

int cmd_lint(const Args& args) {
  (void)args;
  return usage_error("lint", "not available yet");
}

int cmd_trace(const Args& args) {
  (void)args;
  return usage_error("trace", "not available yet");
}

}  // namespace quarn::tool
