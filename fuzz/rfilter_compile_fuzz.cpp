// Compiles arbitrary rules files. The input is split at every 0x01 byte:
// the first piece is filter.dat, the next ones f1.dat, f2.dat ... (at most
// eight), so "#include f1.dat" reaches the others. Every expression of the
// compiled filter is then run over a message whose headers all hold a
// slice of the input, and the listing is built.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "filter/builtins.h"
#include "filter/filter_run.h"
#include "filter/rule_compiler.h"
#include "filter/rule_engine.h"
#include "filter/rule_listing.h"

namespace {

constexpr std::size_t kMaxFiles = 8;
constexpr std::size_t kValueLength = 300;

class SliceMessage final : public quarn::MessageAccess {
 public:
  explicit SliceMessage(std::string value) : value_(std::move(value)) {}
  int has_header(std::int32_t index) const override { return index % 2; }
  std::string_view header(std::int32_t) const override { return value_; }
  std::int32_t header_length(std::int32_t) const override {
    return static_cast<std::int32_t>(value_.size());
  }
  void set_header(std::int32_t, std::string_view text) override { value_ = std::string(text); }
  const quarn::MessageMarks& marks() const override { return marks_; }

 private:
  std::string value_;
  quarn::MessageMarks marks_;
};

std::string file_name(std::size_t index) {
  return index == 0 ? "filter.dat" : "f" + std::to_string(index) + ".dat";
}

void write(const std::string& name, std::string_view content) {
  if (std::FILE* f = std::fopen(name.c_str(), "wb")) {
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char dir[] = "/tmp/fuzz_rfilter_XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (std::size_t i = 0; i < kMaxFiles; ++i) std::remove(file_name(i).c_str());
  std::size_t start = 0;
  for (std::size_t i = 0; i < kMaxFiles && start <= input.size(); ++i) {
    std::size_t end = input.find('\x01', start);
    if (end == std::string_view::npos || i + 1 == kMaxFiles) end = input.size();
    write(file_name(i), input.substr(start, end - start));
    start = end + 1;
  }

  quarn::RuleEngine engine;
  std::size_t logged = 0;
  engine.log().set_error_logger([&](const std::string& t) { logged += t.size(); });
  engine.log().set_info_logger([&](const std::string& t) { logged += t.size(); });
  engine.log().set_trace(size % 2 == 0);
  auto filter = quarn::RuleCompiler(engine.log(), 200).compile("filter.dat");
  if (!filter) return 0;

  SliceMessage message(std::string(input.substr(0, kValueLength)));
  quarn::FilterRun run(engine, *filter);
  quarn::RunContext context{run, message};
  for (const quarn::RuleLine& line : filter->lines) {
    for (const quarn::RuleExpr& expr : line.exprs) quarn::run_expr(context, expr);
  }
  run.fast_scan(input, input.size());
  const std::string listing = quarn::filter_listing(*filter);
  return listing.empty() ? 1 : 0;
}
