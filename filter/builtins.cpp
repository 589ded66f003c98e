// The built-in function table with the compile and run half of each row.
#include "filter/builtins.h"

#include <algorithm>
#include <cstdlib>

#include "filter/recipients.h"
#include "filter/report.h"
#include "filter/rule_engine.h"
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

bool comp_constant(RuleEngine&, RuleExpr& x, std::span<const std::string> a) {
  x.number = atoi32(a[0]);
  x.text1 = std::string();
  return true;
}

bool comp_pattern(RuleEngine& e, RuleExpr& x, std::span<const std::string> a,
                  std::uint32_t options) {
  x.number = e.rf_header_findadd(a[0]);
  x.text1 = a[1];
  RegexError error;
  x.regex = Regex::compile(a[1], options, true, &error);
  if (!x.regex.ok()) {
    e.log().emsg("Regular expression failed at %d in (%.40s) (%.40s)\n", error.offset,
                 a[1].c_str(), error.message.c_str());
    return false;
  }
  return true;
}

bool comp_rexp(RuleEngine& e, RuleExpr& x, std::span<const std::string> a) {
  return comp_pattern(e, x, a, kRegexCaseless);
}

bool comp_rexp_case(RuleEngine& e, RuleExpr& x, std::span<const std::string> a) {
  return comp_pattern(e, x, a, kRegexCaseSensitive);
}

bool comp_rexpstore(RuleEngine& e, RuleExpr& x, std::span<const std::string> a) {
  if (!comp_pattern(e, x, a, kRegexCaseless)) return false;
  x.text2 = a[2];
  return true;
}

bool comp_refuse(RuleEngine&, RuleExpr&, std::span<const std::string>) { return false; }

bool comp_header_text(RuleEngine& e, RuleExpr& x, std::span<const std::string> a) {
  x.number = e.rf_header_findadd(a[0]);
  x.text1 = a[1];
  return true;
}

bool comp_header(RuleEngine& e, RuleExpr& x, std::span<const std::string> a) {
  x.number = e.rf_header_findadd(a[0]);
  return true;
}

bool comp_flag(RuleEngine& e, RuleExpr& x, std::span<const std::string> a) {
  x.number = e.rf_flag_findadd(a[0]);
  return true;
}

bool comp_noargs(RuleEngine&, RuleExpr& x, std::span<const std::string>) {
  x.text1 = std::string("noargs");
  x.number = 0;
  return true;
}

bool comp_number(RuleEngine&, RuleExpr& x, std::span<const std::string> a) {
  x.number = atoi32(a[0]);
  return true;
}

bool comp_text(RuleEngine&, RuleExpr& x, std::span<const std::string> a) {
  x.text1 = a[0];
  return true;
}

bool comp_two_texts(RuleEngine&, RuleExpr& x, std::span<const std::string> a) {
  x.text1 = a[0];
  x.text2 = a[1];
  return true;
}

bool comp_replace(RuleEngine& e, RuleExpr& x, std::span<const std::string> a) {
  x.number = e.rf_header_findadd(a[0]);
  x.text1 = a[1];
  x.text2 = a[2];
  return true;
}

// A phrase whose pattern does not compile is only logged: the expression
// still compiles.
bool comp_rexp_fast(RuleEngine& e, RuleExpr&, std::span<const std::string> a) {
  if (RuleFilter* filter = e.current_filter()) {
    filter->phrases.mf_fast_add(ascii_to_double(a[0]), a[1], a[2], -1, e.log());
  }
  return true;
}

bool comp_rexp_fast_flag(RuleEngine& e, RuleExpr&, std::span<const std::string> a) {
  if (RuleFilter* filter = e.current_filter()) {
    const std::int32_t flag = e.rf_flag_findadd(a[3]);
    filter->phrases.mf_fast_add(ascii_to_double(a[0]), a[1], a[2], flag, e.log());
  }
  return true;
}

bool comp_evalflags(RuleEngine& e, RuleExpr& x, std::span<const std::string> a) {
  RuleFilter* filter = e.current_filter();
  if (filter == nullptr) return false;
  x.number = filter->expressions.rf_expr_findadd(
      a[0], [&e](std::string_view name) { return e.rf_flag_findadd(name); }, e.log());
  return x.number >= 0;
}

// ---- Run halves -------------------------------------------------------------

// The shown value for a trace line; built only while the trace is on.
std::string shown(RunContext& c, const RuleExpr& x) {
  return rf_shown_value(c.message.rf_hdrs_get(x.number));
}

// Matches the expression's pattern over its header's value; adds the time
// to the body or header total. Fills `scratch` with the match offsets.
int pattern_match(RunContext& c, const RuleExpr& x, std::string_view value) {
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: rexp(%.40s,%.200s)\n", rf_shown_value(value).c_str(),
                         text_or_empty(x.text1));
  }
  // A pattern its literals rule out is not run, and takes no time worth adding.
  if (!x.regex.may_match(value, c.engine.scratch())) return 0;
  const double start = clock_ms();
  const int matched =
      x.regex.match(value, c.engine.scratch(), MatchReach::kWhole, Regex::Screening::kScreened);
  const double spent = clock_ms() - start;
  FilterTimings& timings = c.engine.timings();
  if (mystrcmpnc(c.engine.header_name(x.number), "body") == 0) {
    timings.body_ms += spent;
  } else {
    timings.header_ms += spent;
  }
  return matched;
}

std::int32_t run_constant(RunContext& c, const RuleExpr& x) {
  c.engine.log().trace("rrun: exp: constant(%d)\n", x.number);
  return x.number;
}

std::int32_t run_rexp(RunContext& c, const RuleExpr& x) {
  return pattern_match(c, x, c.message.rf_hdrs_get(x.number));
}

std::int32_t run_rexpstore(RunContext& c, const RuleExpr& x) {
  const std::string_view value = c.message.rf_hdrs_get(x.number);
  if (pattern_match(c, x, value) == 0) return 0;
  const MatchScratch& scratch = c.engine.scratch();
  const std::size_t start = std::min(scratch.match_start(), value.size());
  const std::size_t end = std::max(start, std::min(scratch.match_end(), value.size()));
  return c.engine.rexp_store().record(text_or_empty(x.text2), value.substr(start, end - start));
}

std::int32_t run_never(RunContext&, const RuleExpr&) { return 0; }

std::int32_t run_match(RunContext& c, const RuleExpr& x) {
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: match(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return rf_match_list(c.message.rf_hdrs_get(x.number), text_or_empty(x.text1));
}

std::int32_t run_matchall(RunContext& c, const RuleExpr& x) {
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: matchall(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return rf_match_items(c.message.rf_hdrs_get(x.number), text_or_empty(x.text1)) ==
                 ListMatch::kAll
             ? 1
             : 0;
}

std::int32_t run_matchone(RunContext& c, const RuleExpr& x) {
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: matchany(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return rf_match_items(c.message.rf_hdrs_get(x.number), text_or_empty(x.text1)) !=
                 ListMatch::kNone
             ? 1
             : 0;
}

std::int32_t run_strcmp(RunContext& c, const RuleExpr& x) {
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: equals(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return cstr_view(c.message.rf_hdrs_get(x.number)) == text_or_empty(x.text1) ? 1 : 0;
}

std::int32_t run_size(RunContext& c, const RuleExpr&) { return c.engine.run().message_length; }

std::int32_t run_spawn_expr(RunContext& c, const RuleExpr& x) {
  RunState& run = c.engine.run();
  // Rules from the update server must not start programs the administrator
  // did not name: anyone answering in the server's place could run anything.
  if (run.rules_downloaded && !spawn_allowed(text_or_empty(x.text1), run.spawn_allow)) {
    const std::string command(ncpy(cstr_view(text_or_empty(x.text1)), 200));
    c.engine.log().imsg("run_spawn: (%s) not in SPAWN_ALLOW, downloaded rules may not start it\n",
                        log_escaped(command).c_str());
    return 0;
  }
  if (run.process_log != nullptr) {
    return run_spawn(text_or_empty(x.text1), run.message_text, c.engine.log(), *run.process_log,
                     run.spawn_limit_ms);
  }
  Log console;  // outside the engine: the process operations write to standard error
  return run_spawn(text_or_empty(x.text1), run.message_text, c.engine.log(), console,
                   run.spawn_limit_ms);
}

std::int32_t run_isin(RunContext& c, const RuleExpr& x) {
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: isin(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return rf_isin_text(c.message.rf_hdrs_get(x.number), text_or_empty(x.text1));
}

std::int32_t run_isinc(RunContext& c, const RuleExpr& x) {
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: isin(%.40s,%.40s)\n", shown(c, x).c_str(),
                         text_or_empty(x.text1));
  }
  return rf_isinc_text(c.message.rf_hdrs_get(x.number), text_or_empty(x.text1));
}

std::int32_t run_isflag(RunContext& c, const RuleExpr& x) {
  const std::int32_t value = c.engine.rf_flag_get(x.number);
  c.engine.log().trace("rrun: exp: ifflag(%d)\n", value);
  return value;
}

std::int32_t run_get(RunContext& c, const RuleExpr& x) {
  const std::int32_t value = c.engine.rf_flag_get(x.number);
  c.engine.log().trace("rrun: exp: get(%d)\n", value);
  return value;
}

std::int32_t run_exists(RunContext& c, const RuleExpr& x) {
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: exists(%.40s)\n", shown(c, x).c_str());
  }
  return c.message.rf_hdrs_exists(x.number) != 0 ? 1 : 0;
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
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: allmod(%.40s)\n", shown(c, x).c_str());
  }
  return 1;
}

}  // namespace

int rf_forward_cc_add(RuleEngine& engine, std::string_view address) {
  std::string bracketed = rf_bracket_address(address);
  engine.log().imsg("mfilter: Forwarding to (%s)\n", log_escaped(bracketed).c_str());
  engine.run().forward_cc.push_front(std::move(bracketed));
  return 1;
}

namespace {

std::int32_t run_forward_cc(RunContext& c, const RuleExpr& x) {
  return rf_forward_cc_add(c.engine, text_or_empty(x.text1));
}

std::int32_t run_replace(RunContext& c, const RuleExpr& x) {
  const std::string value(c.message.rf_hdrs_get(x.number));
  c.engine.log().trace("rrun: exp: replace(%.40s,%.40s,%.40s)\n", value.c_str(),
                       text_or_empty(x.text1), text_or_empty(x.text2));
  if (auto result = wildrep(value, text_or_empty(x.text1), text_or_empty(x.text2))) {
    c.engine.log().trace("replace matched result (%.200s)\n", result->c_str());
    c.message.rf_hdrs_set(x.number, *result);
  }
  return 1;
}

// The function's value is 1 whether or not the report file was written.
std::int32_t run_report(RunContext& c, const RuleExpr& x) {
  c.engine.log().trace("rrun: exp: report(%.40s,%.40s)\n", text_or_empty(x.text1),
                       text_or_empty(x.text2));
  const ReportResult report = rf_send_report(text_or_empty(x.text1), text_or_empty(x.text2),
                                             c.engine.run().message_path, c.engine.log());
  if (report.message_is_report) c.engine.run().message_is_report = true;
  return 1;
}

std::int32_t run_head_len(RunContext& c, const RuleExpr& x) {
  if (c.engine.log().trace_on()) {
    c.engine.log().trace("rrun: exp: head_len(%.40s)\n", shown(c, x).c_str());
  }
  return c.message.rf_hdrs_getlen(x.number);
}

std::int32_t run_spamdetect(RunContext& c, const RuleExpr& x) {
  c.engine.log().trace("rrun: exp: spamdetect(%.40s,%.40s)\n", text_or_empty(x.text1),
                       text_or_empty(x.text2));
  return c.engine.rf_spamdetect(static_cast<float>(ascii_to_double(text_or_empty(x.text1))),
                                text_or_empty(x.text2));
}

std::int32_t run_issimilar(RunContext& c, const RuleExpr& x) {
  return rf_issimilar(c.message.rf_hdrs_get(x.number), text_or_empty(x.text1));
}

std::int32_t run_evalflags(RunContext& c, const RuleExpr& x) {
  return c.engine.rf_expr_eval(x.number);
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

std::int32_t rf_find_function(std::string_view name) {
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    if (name == kTable[i].name) return static_cast<std::int32_t>(i);
  }
  return -1;
}

std::int32_t rf_run_expr(RunContext& context, const RuleExpr& expr) {
  if (expr.func < 0 || static_cast<std::size_t>(expr.func) >= kTable.size()) return 0;
  return kTable[static_cast<std::size_t>(expr.func)].run(context, expr);
}

}  // namespace quarn
