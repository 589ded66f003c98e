#include "tools/rule_adapter.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <span>

#include "engine/response.h"
#include "filter/filter_service.h"
#include "filter/mfilter.h"
#include "filter/filter_run.h"
#include "filter/rule_compiler.h"
#include "filter/rule_engine.h"
#include "message/message_model.h"
#include "signature/matcher.h"
#include "signature/msgcrc.h"
#include "signature/signature_text.h"
#include "support/file.h"
#include "support/settings.h"
#include "support/text.h"
#include "support/version.h"
#include "tools/db_load.h"
#include "tools/tool.h"
#include "update/db_file.h"

namespace quarn::tool {
namespace {

constexpr const char* kFilterFile = "filter.dat";
constexpr std::int64_t kFilterAgeWarning = 28 * 86400;
constexpr int kIncludeDepth = 10;

std::string without_line_end(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Which file and line each value of the compiler's line counter stands
// for: the files are walked as the compiler reads them, through includes.
class LineMap {
 public:
  explicit LineMap(const std::string& path) { read(path, 0); }
  LintMessage at(int counter, std::string text) const {
    if (counter >= 1 && static_cast<std::size_t>(counter) <= lines_.size()) {
      return {lines_[counter - 1].first, lines_[counter - 1].second, std::move(text)};
    }
    return {"", 0, std::move(text)};
  }

 private:
  void read(const std::string& path, int depth) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    std::string line;
    int number = 0;
    bool continued = false;
    while (std::getline(in, line)) {
      lines_.emplace_back(path, ++number);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const bool joined = continued;
      const std::size_t first = line.find_first_not_of(" \t");
      continued = first != std::string::npos && line[first] != '#' && line.back() == '\\';
      if (joined || depth >= kIncludeDepth || !line.starts_with("#include ")) continue;
      std::string target = line.substr(9);
      target.erase(0, target.find_first_not_of(' '));
      if (target.starts_with('"')) {
        target = target.substr(1, target.find('"', 1) == std::string::npos
                                      ? std::string::npos
                                      : target.find('"', 1) - 1);
      } else {
        target = target.substr(0, target.find_first_of(" \r\n"));
      }
      if (!target.empty()) read(target, depth + 1);
    }
  }
  std::vector<std::pair<std::string, int>> lines_;
};

// A header name can only be filled from a header line when it is made of
// the characters a field name may hold; the model's own names always are.
bool fillable_header(const std::string& name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 32 && u < 127 && c != ':';
  });
}

}  // namespace

LintReport lint_rules(const std::string& path) {
  LintReport report;
  const LineMap map(path);
  RuleLog log;
  RuleCompiler compiler(log);
  const auto collect = [&](const std::string& text) {
    if (text.starts_with("Compiling ")) return;
    report.messages.push_back(map.at(compiler.line_counter(), without_line_end(text)));
  };
  log.set_error_logger(collect);
  log.set_info_logger(collect);
  std::unique_ptr<RuleFilter> filter = compiler.compile(path);
  report.in_service = filter != nullptr;
  if (!filter) {
    if (compiler.error() != "No Error") {
      report.messages.push_back({path, 0, without_line_end(compiler.error())});
    }
    return report;
  }
  for (const std::string& name : filter->headers.names()) {
    if (!fillable_header(name)) {
      report.warnings.push_back(
          {path, 0, "header name (" + name + ") can never be filled from a message"});
    }
  }
  // A top-level accept or reject without a condition ends every run there.
  int depth = 0;
  for (std::size_t i = 0; i < filter->lines.size(); ++i) {
    const RuleLine& line = filter->lines[i];
    if (line.action == A_THEN || line.action == RECIPIENTS) ++depth;
    if (line.action == A_ENDIF || line.action == RECIPIENTS_END) depth = std::max(0, depth - 1);
    const bool ends = line.exprs.empty() && (line.action == A_ACCEPT || line.action == A_REJECT ||
                                              line.action == DROP);
    if (depth == 0 && ends && i + 1 < filter->lines.size()) {
      report.warnings.push_back(map.at(
          filter->lines[i + 1].line_number,
          "never runs: every message ends at the unconditional " +
              std::string(line.action == A_ACCEPT ? "accept" : line.action == DROP ? "drop" : "reject") + " before it"));
      break;
    }
  }
  return report;
}

struct TraceSession::State {
  QuietLog quiet;
  Settings settings{quiet.log(), SettingsOptions{}};
  SignatureDb db{quiet.log()};
  UpdateState update_state;
  UpdateCommands commands{db, settings, quiet.log(), update_state};
  FilterService filter{quiet.log()};
  ResponseBlock response;
  std::vector<std::string> run_lines;
  bool tracing = false;
};

TraceSession::TraceSession() : state_(std::make_unique<State>()) {}
TraceSession::~TraceSession() = default;

bool TraceSession::open(std::string& error) {
  State& s = *state_;
  s.settings.init();
  DbFile(s.commands).open_db();
  const auto collect = [&s](const std::string& text) {
    if (s.tracing) s.run_lines.push_back(without_line_end(text));
  };
  s.filter.log().set_error_logger(collect);
  s.filter.log().set_info_logger(collect);
  if (!s.filter.load_if_missing(kFilterFile)) {
    error = "filter.dat does not compile (quarncrc-tool lint tells why)";
    return false;
  }
  return true;
}

TraceReport TraceSession::trace(const std::string& message_path,
                                const std::string& envelope_path) {
  State& s = *state_;
  TraceReport report;
  s.response.clear();
  s.run_lines.clear();
  const std::string tag = "trace";
  const std::int32_t msg_sz = s.settings.get_int(IniKey::MSG_SZ);

  std::string error;
  auto message = read_whole_file(message_path, error);
  if (!message) {
    report.answer = strprintf("%s ERROR Unable to access scan file (%s)\n", tag.c_str(),
                              message_path.c_str());
    return report;
  }
  if (static_cast<std::int64_t>(message->size()) >= msg_sz) {
    report.answer = tag + " CLEAN\n";
    return report;
  }
  const std::size_t size = message->size();
  std::vector<char> buffer(static_cast<std::size_t>(msg_sz));
  std::vector<char> work(static_cast<std::size_t>(msg_sz));
  std::copy(message->begin(), message->end(), buffer.begin());
  buffer[size] = '\0';

  s.response.append(tag + " DATA\n");
  PartCrcs crcs{};
  msgcrc(*message, crcs, s.quiet.log());
  report.signature = kRuleSet + make_signature_text(crcs);
  s.response.add_header("X-Quarn-CRC: " + report.signature);

  SpamScoreList match_scores;
  std::int32_t partial = 0;
  const MatchResult match =
      findarticlematches_fast(s.db, s.settings, crcs, partial, &match_scores);
  if (match.matched) {
    report.match = strprintf("%d %s %s %d", match.count, match.status, match.type, match.id);
    s.response.add_header("X-Quarn-Match: " + report.match);
  }

  if (!s.settings.is_true(IniKey::SKIP_FILTER)) {
    auto envelope = read_whole_file(envelope_path, error);
    if (!envelope || static_cast<std::int64_t>(envelope->size()) >= msg_sz) {
      report.answer = strprintf("%s ERROR Unable to access envelope file (%s)\n", tag.c_str(),
                                envelope_path.c_str());
      return report;
    }
    const auto filter_max = static_cast<std::size_t>(s.settings.get_int(IniKey::FILTER_MAX));
    MfilterOptions options;
    options.budget_ms = s.settings.get_int(IniKey::FILTER_BUDGET);
    options.spawn_allow = s.settings.get(IniKey::SPAWN_ALLOW);
    options.add_header = [&s](std::string_view line) { s.response.add_header(line); };
    // The flags are the run's and end with it: read them before.
    options.inspect = [&report](const FilterRun& run) {
      const RuleFilter& filter = run.filter();
      for (std::size_t i = 0; i < filter.flags.size(); ++i) {
        const std::int32_t value = run.flag(static_cast<std::int32_t>(i));
        if (value != 0) report.flags.emplace_back(filter.flags.name(i), value);
      }
    };
    s.filter.log().set_trace(true);
    s.tracing = true;
    report.filter_ran =
        do_mfilter(s.filter, s.quiet.log(), std::span<char>(buffer), std::span<char>(work),
                   static_cast<std::int32_t>(std::min(size, filter_max)), *envelope,
                   &match_scores, options) != 0;
    s.tracing = false;
    s.filter.log().set_trace(false);
    const auto filter_stat = stat_file(kFilterFile);
    if (!report.filter_ran) {
      s.response.add_header("X-Quarn-Info: Filter did not run");
    } else if (filter_stat && std::time(nullptr) - filter_stat->mtime > kFilterAgeWarning) {
      const auto days = static_cast<int>((std::time(nullptr) - filter_stat->mtime) / 86400);
      s.response.add_header(strprintf("X-Quarn-Info: Filter is %d days old", days));
    }
    if (RuleFilter* current = s.filter.in_service()) {
      for (int b = 0; b < kFastBuckets; ++b) {
        for (const FastPhrase& phrase : current->phrases.bucket(b)) {
          if (phrase.hit) report.phrases.push_back(phrase.name);
        }
      }
    }
    // The run's list is gone with the run; its trace lines
    // ("runspamdetect <score> (<name>)") tell what it held, a later score of
    // a name replacing the earlier one.
    for (const std::string& line : s.run_lines) {
      if (!line.starts_with("runspamdetect ")) continue;
      const std::size_t open = line.find(" (");
      if (open == std::string::npos || line.back() != ')') continue;
      const std::string name = line.substr(open + 2, line.size() - open - 3);
      const double value = std::strtod(line.c_str() + 14, nullptr);
      auto same = std::find_if(report.scores.begin(), report.scores.end(), [&](const TraceScore& t) {
        return strcasecmp(t.name.c_str(), name.c_str()) == 0;
      });
      if (same != report.scores.end()) {
        same->score = value;
      } else if (value != 0) {
        report.scores.push_back({name, value});
      }
    }
  }
  for (const SpamScore& score : match_scores) report.scores.push_back({score.name, score.score});
  s.response.finish_data();
  report.answer = s.response.text();
  report.run_lines = s.run_lines;
  return report;
}

}  // namespace quarn::tool
