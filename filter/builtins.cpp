// The built-in function table with the compile and run half of each row.
#include "filter/builtins.h"

#include <algorithm>
#include <cstdlib>

#include "filter/recipients.h"
#include "filter/report.h"
#include "filter/filter_run.h"
#include "filter/spam_detect.h"
#include "filter/spawn.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/text.h"

namespace quarn {
namespace {

double ascii_to_double(std::string_view text) {
  const std::string copy(cstr_view(text));
  return std::strtod(copy.c_str(), nullptr);
}

const char* text_or_empty(const std::optional<std::string>& text) {
  return text ? text->c_str() : "";
}

// ---- Compile halves -------------------------------------------------------

bool comp_constant(CompileContext&, RuleExpr& x, std::span<const std::string> a) {
  x.number = atoi32(a[0]);
  x.text1 = std::string();
  return true;
}

bool comp_pattern(CompileContext& c, RuleExpr& x, std::span<const std::string> a,
                  std::uint32_t options) {
  x.number = c.filter.headers.findadd(a[0], c.log);
  x.text1 = a[1];
  RegexError error;
  x.regex = Regex::compile(a[1], options, true, &error);
  if (!x.regex.ok()) {
    c.log.emsg("Regular expression failed at %d in (%.40s) (%.40s)\n", error.offset,
                 a[1].c_str(), error.message.c_str());
    return false;
  }
  return true;
}

bool comp_rexp(CompileContext& c, RuleExpr& x, std::span<const std::string> a) {
  return comp_pattern(c, x, a, kRegexCaseless);
}

bool comp_rexp_case(CompileContext& c, RuleExpr& x, std::span<const std::string> a) {
  return comp_pattern(c, x, a, kRegexCaseSensitive);
}

bool comp_rexpstore(CompileContext& c, RuleExpr& x, std::span<const std::string> a) {
  if (!comp_pattern(c, x, a, kRegexCaseless)) return false;
  x.text2 = a[2];
  return true;
}

bool comp_refuse(CompileContext&, RuleExpr&, std::span<const std::string>) { return false; }

bool comp_header_text(CompileContext& c, RuleExpr& x, std::span<const std::string> a) {
  x.number = c.filter.headers.findadd(a[0], c.log);
  x.text1 = a[1];
  return true;
}

bool comp_header(CompileContext& c, RuleExpr& x, std::span<const std::string> a) {
  x.number = c.filter.headers.findadd(a[0], c.log);
  return true;
}

bool comp_flag(CompileContext& c, RuleExpr& x, std::span<const std::string> a) {
  x.number = c.filter.flags.findadd(a[0], c.log);
  return true;
}

bool comp_noargs(CompileContext&, RuleExpr& x, std::span<const std::string>) {
  x.text1 = std::string("noargs");
  x.number = 0;
  return true;
}

bool comp_number(CompileContext&, RuleExpr& x, std::span<const std::string> a) {
  x.number = atoi32(a[0]);
  return true;
}

bool comp_text(CompileContext&, RuleExpr& x, std::span<const std::string> a) {
  x.text1 = a[0];
  return true;
}

bool comp_two_texts(CompileContext&, RuleExpr& x, std::span<const std::string> a) {
  x.text1 = a[0];
  x.text2 = a[1];
  return true;
}

bool comp_replace(CompileContext& c, RuleExpr& x, std::span<const std::string> a) {
  x.number = c.filter.headers.findadd(a[0], c.log);
  x.text1 = a[1];
  x.text2 = a[2];
  return true;
}

// A phrase whose pattern does not compile is only logged: the expression
// still compiles.
bool comp_rexp_fast(CompileContext& c, RuleExpr&, std::span<const std::string> a) {
  c.filter.phrases.add(ascii_to_double(a[0]), a[1], a[2], -1, c.log);
  return true;
}

bool comp_rexp_fast_flag(CompileContext& c, RuleExpr&, std::span<const std::string> a) {
  const std::int32_t flag = c.filter.flags.findadd(a[3], c.log);
  c.filter.phrases.add(ascii_to_double(a[0]), a[1], a[2], flag, c.log);
  return true;
}

bool comp_evalflags(CompileContext& c, RuleExpr& x, std::span<const std::string> a) {
  x.number = c.filter.expressions.findadd(
      a[0], [&c](std::string_view name) { return c.filter.flags.findadd(name, c.log); }, c.log);
  return x.number >= 0;
}

// ---- Run halves -------------------------------------------------------------

// The shown value for a trace line; built only while the trace is on.
std::string shown(RunContext& c, const RuleExpr& x) {
  return shown_value(c.message.header(x.number));
}

// Matches the expression's pattern over its header's value; adds the time
// to the body or header total. Fills `scratch` with the match offsets.
int pattern_match(RunContext& c, const RuleExpr& x, std::string_view value) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: rexp(%.40s,%.200s)\n", shown_value(value).c_str(),
                         text_or_empty(x.text1));
  }
  // A pattern its literals rule out is not run, and takes no time worth adding.
  if (!x.regex.may_match(value, c.run.engine().scratch(), c.message.values_stamp())) return 0;
  const std::uint64_t start = timing_ticks();
  const int matched =
      x.regex.match(value, c.run.engine().scratch(), MatchReach::kWhole, Regex::Screening::kScreened);
  const double spent = timing_ms(start, timing_ticks());
  FilterTimings& timings = c.run.engine().timings();
  if (mystrcmpnc(c.run.header_name(x.number), "body") == 0) {
    timings.body_ms += spent;
  } else {
    timings.header_ms += spent;
  }
  return matched;
}

std::int32_t run_constant(RunContext& c, const RuleExpr& x) {
  c.run.log().trace("rrun: exp: constant(%d)\n", x.number);
  return x.number;
}

std::int32_t run_rexp(RunContext& c, const RuleExpr& x) {
  return pattern_match(c, x, c.message.header(x.number));
}

std::int32_t run_rexpstore(RunContext& c, const RuleExpr& x) {
  const std::string_view value = c.message.header(x.number);
  if (pattern_match(c, x, value) == 0) return 0;
  const MatchScratch& scratch = c.run.engine().scratch();
  const std::size_t start = std::min(scratch.match_start(), value.size());
  const std::size_t end = std::max(start, std::min(scratch.match_end(), value.size()));
  return c.run.engine().rexp_store().record(text_or_empty(x.text2), value.substr(start, end - start));
}

std::int32_t run_never(RunContext&, const RuleExpr&) { return 0; }

std::int32_t run_match(RunContext& c, const RuleExpr& x) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: match(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return match_list(c.message.header(x.number), text_or_empty(x.text1));
}

std::int32_t run_matchall(RunContext& c, const RuleExpr& x) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: matchall(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return match_items(c.message.header(x.number), text_or_empty(x.text1)) ==
                 ListMatch::kAll
             ? 1
             : 0;
}

std::int32_t run_matchone(RunContext& c, const RuleExpr& x) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: matchany(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return match_items(c.message.header(x.number), text_or_empty(x.text1)) !=
                 ListMatch::kNone
             ? 1
             : 0;
}

std::int32_t run_strcmp(RunContext& c, const RuleExpr& x) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: equals(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return cstr_view(c.message.header(x.number)) == text_or_empty(x.text1) ? 1 : 0;
}

std::int32_t run_size(RunContext& c, const RuleExpr&) { return c.run.state().message_length; }

std::int32_t run_spawn_expr(RunContext& c, const RuleExpr& x) {
  const RunState& run = c.run.state();
  const RunSettings& settings = c.run.engine().settings();
  // Rules from the update server must not start programs the administrator
  // did not name: anyone answering in the server's place could run anything.
  if (run.rules_downloaded && !spawn_allowed(text_or_empty(x.text1), settings.spawn_allow)) {
    const std::string command(ncpy(cstr_view(text_or_empty(x.text1)), 200));
    c.run.log().imsg("run_spawn: (%s) not in SPAWN_ALLOW, downloaded rules may not start it\n",
                        log_escaped(command).c_str());
    return 0;
  }
  if (Log* process_log = c.run.sinks().process_log) {
    return run_spawn(text_or_empty(x.text1), run.message_text, c.run.log(), *process_log,
                     settings.spawn_limit_ms);
  }
  Log console;  // outside the engine: the process operations write to standard error
  return run_spawn(text_or_empty(x.text1), run.message_text, c.run.log(), console,
                   settings.spawn_limit_ms);
}

std::int32_t run_isin(RunContext& c, const RuleExpr& x) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: isin(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return isin_text(c.message.header(x.number), text_or_empty(x.text1));
}

std::int32_t run_isinc(RunContext& c, const RuleExpr& x) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: isin(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return isinc_text(c.message.header(x.number), text_or_empty(x.text1));
}

std::int32_t run_isflag(RunContext& c, const RuleExpr& x) {
  const std::int32_t value = c.run.flag(x.number);
  c.run.log().trace("rrun: exp: ifflag(%d)\n", value);
  return value;
}

std::int32_t run_get(RunContext& c, const RuleExpr& x) {
  const std::int32_t value = c.run.flag(x.number);
  c.run.log().trace("rrun: exp: get(%d)\n", value);
  return value;
}

std::int32_t run_exists(RunContext& c, const RuleExpr& x) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: exists(%.40s)\n", shown(c, x).c_str());
  }
  return c.message.has_header(x.number) != 0 ? 1 : 0;
}

std::int32_t run_isbinary(RunContext& c, const RuleExpr&) {
  const MessageMarks& m = c.message.marks();
  return m.isencoded != 0 && m.encoded_lines >= 20 ? 1 : 0;
}

std::int32_t run_isbinaryn(RunContext& c, const RuleExpr& x) {
  const MessageMarks& m = c.message.marks();
  return m.isencoded != 0 && m.encoded_lines >= x.number ? 1 : 0;
}

std::int32_t run_ishtml(RunContext& c, const RuleExpr&) { return c.message.marks().ishtml; }
std::int32_t run_isencodedtext(RunContext& c, const RuleExpr&) {
  return c.message.marks().isencodedtext;
}
std::int32_t run_isencodedhtml(RunContext& c, const RuleExpr&) {
  return c.message.marks().isencodedhtml;
}
std::int32_t run_isencodedurl(RunContext& c, const RuleExpr&) {
  return c.message.marks().isencodedurl;
}
std::int32_t run_isuuencoded(RunContext& c, const RuleExpr&) {
  return c.message.marks().isuuencoded;
}
std::int32_t run_isbase64(RunContext& c, const RuleExpr&) { return c.message.marks().isbase64; }
std::int32_t run_isimage(RunContext& c, const RuleExpr&) { return c.message.marks().isimage; }
// The engine has no notion of a local sender.
std::int32_t run_islocal(RunContext&, const RuleExpr&) { return 0; }
std::int32_t run_lines(RunContext& c, const RuleExpr&) { return c.message.marks().line_count; }

// Every item passes the per-item test, so the result is always 1.
std::int32_t run_allmod(RunContext& c, const RuleExpr& x) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: allmod(%.40s)\n", shown(c, x).c_str());
  }
  return 1;
}

}  // namespace

int forward_cc_add(FilterRun& run, std::string_view address) {
  std::string bracketed = bracket_address(address);
  run.log().imsg("mfilter: Forwarding to (%s)\n", log_escaped(bracketed).c_str());
  run.state().forward_cc.push_front(std::move(bracketed));
  return 1;
}

namespace {

std::int32_t run_forward_cc(RunContext& c, const RuleExpr& x) {
  return forward_cc_add(c.run, text_or_empty(x.text1));
}

std::int32_t run_replace(RunContext& c, const RuleExpr& x) {
  const std::string value(c.message.header(x.number));
  c.run.log().trace("rrun: exp: replace(%.40s,%.40s,%.40s)\n", value.c_str(),
                       text_or_empty(x.text1), text_or_empty(x.text2));
  if (auto result = wildrep(value, text_or_empty(x.text1), text_or_empty(x.text2))) {
    c.run.log().trace("replace matched result (%.200s)\n", result->c_str());
    c.message.set_header(x.number, *result);
  }
  return 1;
}

// The function's value is 1 whether or not the report file was written.
std::int32_t run_report(RunContext& c, const RuleExpr& x) {
  c.run.log().trace("rrun: exp: report(%.40s,%.40s)\n", text_or_empty(x.text1),
                       text_or_empty(x.text2));
  const ReportResult report = rf_send_report(text_or_empty(x.text1), text_or_empty(x.text2),
                                             c.run.state().message_path, c.run.log());
  if (report.message_is_report) c.run.state().message_is_report = true;
  return 1;
}

std::int32_t run_head_len(RunContext& c, const RuleExpr& x) {
  if (c.run.log().trace_on()) {
    c.run.log().trace("rrun: exp: head_len(%.40s)\n", shown(c, x).c_str());
  }
  return c.message.header_length(x.number);
}

std::int32_t run_spamdetect(RunContext& c, const RuleExpr& x) {
  c.run.log().trace("rrun: exp: spamdetect(%.40s,%.40s)\n", text_or_empty(x.text1),
                       text_or_empty(x.text2));
  return c.run.add_score(static_cast<float>(ascii_to_double(text_or_empty(x.text1))),
                                text_or_empty(x.text2));
}

std::int32_t run_issimilar(RunContext& c, const RuleExpr& x) {
  return issimilar_text(c.message.header(x.number), text_or_empty(x.text1));
}

std::int32_t run_evalflags(RunContext& c, const RuleExpr& x) {
  return c.run.eval_expression(x.number);
}

constexpr std::array<FuncEntry, kBuiltinCount> kTable = {{
    {"constant", 1, comp_constant, run_constant},
    {"rexp", 2, comp_rexp, run_rexp},
    {"rexp_case", 2, comp_rexp_case, run_rexp},
    {"inpath", 1, comp_refuse, run_never},
    {"match", 2, comp_header_text, run_match},
    {"strcmp", 2, comp_header_text, run_strcmp},
    {"size", 0, comp_noargs, run_size},
    {"spawn", 1, comp_text, run_spawn_expr},
    {"matchall", 2, comp_header_text, run_matchall},
    {"matchone", 2, comp_header_text, run_matchone},
    {"isin", 2, comp_header_text, run_isin},
    {"isflag", 1, comp_flag, run_isflag},
    {"exists", 1, comp_header, run_exists},
    {"isbinary", 0, comp_noargs, run_isbinary},
    {"isbinaryn", 1, comp_number, run_isbinaryn},
    {"ishtml", 0, comp_noargs, run_ishtml},
    {"isencodedtext", 0, comp_noargs, run_isencodedtext},
    {"isencodedhtml", 0, comp_noargs, run_isencodedhtml},
    {"isencodedurl", 0, comp_noargs, run_isencodedurl},
    {"isuuencoded", 0, comp_noargs, run_isuuencoded},
    {"isbase64", 0, comp_noargs, run_isbase64},
    {"isimage", 0, comp_noargs, run_isimage},
    {"islocal", 0, comp_noargs, run_islocal},
    {"lines", 0, comp_noargs, run_lines},
    {"allmod", 1, comp_header, run_allmod},
    {"get", 1, comp_flag, run_get},
    {"forward_cc", 1, comp_text, run_forward_cc},
    {"replace", 3, comp_replace, run_replace},
    {"report", 2, comp_two_texts, run_report},
    {"head_len", 1, comp_header, run_head_len},
    {"spamdetect", 2, comp_two_texts, run_spamdetect},
    {"isinc", 2, comp_header_text, run_isinc},
    {"issimilar", 2, comp_header_text, run_issimilar},
    {"rexpstore", 3, comp_rexpstore, run_rexpstore},
    {"rexp_fast", 3, comp_rexp_fast, run_never},
    {"rexp_fast_flag", 4, comp_rexp_fast_flag, run_never},
    {"evalflags", 1, comp_evalflags, run_evalflags},
}};

}  // namespace

const std::array<FuncEntry, kBuiltinCount>& builtin_functions() { return kTable; }

std::int32_t find_function(std::string_view name) {
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    if (name == kTable[i].name) return static_cast<std::int32_t>(i);
  }
  return -1;
}

std::int32_t run_expr(RunContext& context, const RuleExpr& expr) {
  if (expr.func < 0 || static_cast<std::size_t>(expr.func) >= kTable.size()) return 0;
  return kTable[static_cast<std::size_t>(expr.func)].run(context, expr);
}

}  // namespace quarn
