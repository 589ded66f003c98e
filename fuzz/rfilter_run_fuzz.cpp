// Runs a fixed rules file over arbitrary messages and envelopes through the
// filter seam (do_mfilter: recipient list, message model, interpreter). The
// first input byte gives the envelope's length; the envelope follows, the
// message is the rest. The rules use every kind of action and most
// built-ins (all but spawn and report, which start processes and write
// files).
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/mfilter.h"
#include "message/message_model.h"
#include "support/log.h"

namespace {

constexpr const char* kRules = R"RULES(# fixed rules of the run fuzzer
$pills = (viagra|cialis|pills)
call rexp_fast(1.5, "click\s+here", click)
call rexp_fast_flag(2, "free\s+money", money, has_money)
call rexp_fast(0.5, "unsubscribe", unsub)
if (rexp(subject, $pills)) then
  call spamdetect(2.5, pills)
  setflag(pills)
else
  add(clean, 1)
end
if (rexp_case(from, ^[A-Z]+$)) and (spamdetect(1, upper-from)) add(hits, 1)
if (isin(subject, free)) and (!exists(in-reply-to)) setflag(free)
if (isinc(body, "w-i-n")) and (spamdetect(0.7, win)) add(hits, 1)
if (match(from-addr, "*@example.com,!boss@example.com")) accept friend
if (matchall(to, "*@example.com")) add(local, 1)
if (matchone(cc, "*@x.com")) sub(local, 1)
if (strcmp(x-mailer, "Mailer 1.0")) set(mailer, 7)
if (head_len(subject) > 60) and (spamdetect(1, long-subject)) add(hits, 1)
if (issimilar(to, 3)) and (spamdetect(2, similar)) add(hits, 1)
if (rexpstore(subject, "[a-z]{4,}", words) > 2) and (spamdetect(0.3, repeated)) add(hits, 1)
if (evalflags("HIGH_CAPS && !FROMEQTO || (HAS_MONEY && PILLS)")) and (spamdetect(1.1, combo)) add(hits, 1)
if (isbinary()) and (isbase64()) and (spamdetect(0.4, binary)) add(hits, 1)
if (isbinaryn(3)) and (ishtml()) setflag(bin_html)
if (isencodedtext()) and (isencodedhtml()) and (isencodedurl()) setflag(encoded)
if (isuuencoded()) and (isimage()) and (islocal() = 0) setflag(uu)
if (lines() > 200) and (size() < 100000) and (spamdetect(0.2, many-lines)) add(hits, 1)
if (allmod(subject)) and (get(mailer) = 7) print mailer
call replace(subject, "re:*", "RE:%1")
call forward_cc(copy@y.com)
if (rexp(urls, "\.(ru|cn)/")) redirect_cc "<abuse@y.com>"
if (isflag(pills)) and (isflag(free)) drop pills-and-free
recipients
  if (rexp(recipient, ^postmaster@)) accept postmaster
  if (isin(recipient, spamtrap)) drop trap
  if (rexp(recipient, ^bounce)) reject bounce-me
  if (rexp(recipient, ^move)) forward moved@y.com
  score_one(s1)
  score_all(s2)
end recipients
end recipients
if (exists(x-forward)) forward elsewhere@y.com
if (size() = 0) reject empty
if (isflag(high_caps)) then
  if (isflag(medium_caps)) then
    clearflag(medium_caps)
  else
    reject impossible
  end
end
)RULES";

struct State {
  State() : sink(std::fopen("/dev/null", "w")), log(sink), service(log) {
    if (std::FILE* f = std::fopen("filter.dat", "wb")) {
      std::fputs(kRules, f);
      std::fclose(f);
    }
  }
  std::FILE* sink;
  quarn::Log log;
  quarn::FilterService service;
};

State* state = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char dir[] = "/tmp/fuzz_rfilter_run_XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
  state = new State();  // lives for the whole process
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t envelope_size = std::min<std::size_t>(data[0], size - 1);
  const std::string envelope(reinterpret_cast<const char*>(data) + 1, envelope_size);
  std::vector<char> text(reinterpret_cast<const char*>(data) + 1 + envelope_size,
                         reinterpret_cast<const char*>(data) + size);
  const auto length = static_cast<std::int32_t>(text.size());
  text.push_back('\0');
  std::vector<char> work(text.begin(), text.end());
  work.resize(std::max(work.size(), quarn::MessageModel::kDecodedSize));
  quarn::MfilterOptions options;
  options.add_header = [](std::string_view) {};
  quarn::do_mfilter(state->service, state->log, text, work, length, envelope, nullptr, options);
  return 0;
}
