#include "filter/regex.h"

namespace quarn {
namespace {

constexpr std::uint32_t kMatchPairs = 33;
constexpr std::size_t kJitStackStart = 32 * 1024;
constexpr std::size_t kJitStackMax = 1024 * 1024;

}  // namespace

MatchScratch::MatchScratch()
    : data_(pcre2_match_data_create(kMatchPairs, nullptr)),
      context_(pcre2_match_context_create(nullptr)),
      window_context_(pcre2_match_context_create(nullptr)),
      stack_(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr)) {
  if (context_ && stack_) pcre2_jit_stack_assign(context_.get(), nullptr, stack_.get());
  if (window_context_) {
    if (stack_) pcre2_jit_stack_assign(window_context_.get(), nullptr, stack_.get());
    pcre2_set_match_limit(window_context_.get(), kWindowMatchLimit);
  }
}

std::size_t MatchScratch::match_start() const {
  return pcre2_get_ovector_pointer(data_.get())[0];
}

std::size_t MatchScratch::match_end() const {
  return pcre2_get_ovector_pointer(data_.get())[1];
}

Regex Regex::compile(std::string_view pattern, std::uint32_t options, bool study,
                     RegexError* error) {
  Regex regex;
  int code = 0;
  PCRE2_SIZE offset = 0;
  regex.code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                  options, &code, &offset, nullptr));
  if (!regex.code_) {
    if (error != nullptr) {
      PCRE2_UCHAR text[256];
      if (pcre2_get_error_message(code, text, sizeof text) < 0) text[0] = 0;
      error->offset = static_cast<int>(offset);
      error->message = reinterpret_cast<const char*>(text);
    }
    return regex;
  }
  if (study) regex.studied_ = pcre2_jit_compile(regex.code_.get(), PCRE2_JIT_COMPLETE) == 0;
  return regex;
}

int Regex::match(std::string_view subject, MatchScratch& scratch, MatchReach reach) const {
  if (!code_ || scratch.data() == nullptr) return 0;
  const auto* text = reinterpret_cast<PCRE2_SPTR>(subject.empty() ? "" : subject.data());
  // Studied patterns go straight to their machine code.
  int rc = studied_ ? pcre2_jit_match(code_.get(), text, subject.size(), 0, 0, scratch.data(),
                                      scratch.context(reach))
                    : pcre2_match(code_.get(), text, subject.size(), 0, 0, scratch.data(),
                                  scratch.context(reach));
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc = pcre2_match(code_.get(), text, subject.size(), 0, PCRE2_NO_JIT, scratch.data(),
                     scratch.context(reach));
  }
  return rc >= 0 ? 1 : 0;
}

}  // namespace quarn
