// The message model on arbitrary messages: a small rules file naming many
// headers and pseudo-headers (an empty name and one-letter prefixes
// included) is compiled once; every input is processed as a run does it,
// every slot is then read byte by byte, a few values are replaced, the
// recipient changes, the scores are totalled and the run is freed. The
// decoded buffer is exactly the engine's size, so a write past it is caught.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter_run.h"
#include "filter/interpreter.h"
#include "filter/rule_compiler.h"
#include "filter/rule_engine.h"
#include "filter/spam_detect.h"
#include "message/message_model.h"

namespace {

using namespace quarn;

constexpr const char* kRules =
    "if (exists(to)) setflag has_to\n"
    "if (exists(from)) setflag has_from\n"
    "if (isin(subject, free)) setflag free\n"
    "call exists(cc)\ncall exists(date)\ncall exists(message-id)\ncall exists(received)\n"
    "call exists(content-type)\ncall exists(content-transfer-encoding)\n"
    "call exists(to-addr)\ncall exists(from-addr)\ncall exists(return-path)\n"
    "call exists(sender-ip)\ncall exists(recipient)\ncall exists(head)\n"
    "call exists(body)\ncall exists(rawbody)\ncall exists(urls)\ncall exists(full)\n"
    "call exists(x-mailer)\ncall exists(reply-to)\ncall exists(t)\ncall exists(c)\n"
    "call exists(:empty)\ncall exists(x)\n";

struct Fixture {
  Fixture() {
    char dir_template[] = "/tmp/fuzz_message_model_XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) std::abort();
    const std::string path = std::string(dir) + "/filter.dat";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fputs(kRules, f);
      std::fclose(f);
    }
    filter = RuleCompiler(engine.log()).compile(path);
    std::remove(path.c_str());
    rmdir(dir);
    if (filter == nullptr || filter->headers.size() < 25) std::abort();
    run = std::make_unique<FilterRun>(engine, *filter);
    engine.model().set_return_path("<envelope@example.net>");
    engine.model().set_sender_ip("192.0.2.7");
  }

  RuleEngine engine;
  std::unique_ptr<RuleFilter> filter;
  std::unique_ptr<FilterRun> run;
  std::vector<char> decoded = std::vector<char>(MessageModel::kDecodedSize);
};

// Reads every slot whole so that a value pointing at freed or
// foreign memory is caught.
unsigned touch_all(const MessageModel& model) {
  unsigned sum = 0;
  for (std::int32_t index = -1; index <= static_cast<std::int32_t>(kMaxHeaders); ++index) {
    const std::string_view value = model.header(index);
    if (value.data() == nullptr) std::abort();
    if (model.header_length(index) != static_cast<std::int32_t>(value.size())) std::abort();
    if (model.has_header(index) == 0 && !value.empty()) std::abort();
    // The copy's memcpy checks the whole range under the address sanitizer.
    const std::string copy(value);
    if (!copy.empty()) sum += static_cast<unsigned char>(copy.front() ^ copy.back());
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture* fixture = new Fixture;
  FilterRun& run = *fixture->run;
  MessageModel& model = run.model();
  const std::string_view message(reinterpret_cast<const char*>(data), size);

  model.set_recipient(message.substr(0, std::min<std::size_t>(size, 40)));
  build_model(run, message, fixture->decoded);
  volatile unsigned sink = touch_all(model);

  const MessageMarks& marks = model.marks();
  if (model.head_text().size() > 2201) std::abort();
  if (model.decoded_length() >= MessageModel::kDecodedSize) std::abort();
  if (marks.encoded_lines < 0 || marks.line_count < 0) std::abort();

  set_fromeqto(run);
  for (std::int32_t index = 0; index < 6; ++index) {
    model.set_header(index, model.header(index + 1));
  }
  model.set_recipient("someone@example.org");
  run.add_score(1.5f, message.substr(0, std::min<std::size_t>(size, 120)));
  rf_spamdetect_do(run, nullptr);
  sink = sink + touch_all(model);
  rf_spamdetect_free(run);
  model.clear();
  sink = sink + touch_all(model);
  (void)sink;
  return 0;
}
