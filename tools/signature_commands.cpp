// sign and match: a message's signature and its FINDCRC answer.
#include <cstdio>
#include <string>

#include "signature/matcher.h"
#include "signature/msgcrc.h"
#include "signature/signature_db.h"
#include "signature/signature_text.h"
#include "support/file.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/version.h"
#include "tools/db_load.h"
#include "tools/tool.h"

namespace quarn::tool {
namespace {

constexpr const char* kPartNames[kPartCount] = {"From",   "Subject", "Received",
                                                "Message ID", "Body 1", "Body 2",
                                                "Body 3", "Body 4",  "Body 5"};

constexpr const char* kSignHelp =
    "Usage: quarncrc-tool sign [--parts] MESSAGE...\n"
    "\n"
    "Prints the signature of each message file as the engine writes it after\n"
    "\"X-Quarn-CRC: \" (the rule-set letter, then the nine part CRCs); with more\n"
    "than one file each line starts with the file name and a tab.\n"
    "\n"
    "  --parts   also print, for each of the nine parts, its CRC in hex and the\n"
    "            normalised text it was taken over (escaped, in quotes)\n";

constexpr const char* kMatchHelp =
    "Usage: quarncrc-tool match --db FILE [--ini FILE] MESSAGE...\n"
    "\n"
    "Loads the database file FILE as the engine does at start (expired lines\n"
    "dropped) and prints, for each message, the FINDCRC answer for its\n"
    "signature, then the parts that agree with the best record.\n"
    "\n"
    "  --db FILE    the database file (quarncrc.db)\n"
    "  --ini FILE   settings for matching (default: quarncrc.ini beside FILE,\n"
    "               when it exists, else the built-in defaults)\n";

// Reads the message at `path` whole.
bool load_message(const std::string& path, std::string& text) {
  std::string error;
  auto data = read_whole_file(path, error);
  if (!data) {
    std::fprintf(stderr, "quarncrc-tool: cannot read %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  text = std::move(*data);
  return true;
}

PartCrcs sign_text(std::string_view text, Log& log, std::array<std::string, kPartCount>* texts) {
  PartCrcs crcs{};
  msgcrc(text, crcs, log, texts);
  return crcs;
}

}  // namespace

int cmd_sign(const Args& args) {
  if (wants_help(args)) return print_help(kSignHelp);
  bool parts = false;
  std::vector<std::string> files;
  for (std::string_view a : args) {
    if (a == "--parts") {
      parts = true;
    } else if (a.starts_with("-") && a.size() > 1) {
      return usage_error("sign", "unknown option " + std::string(a));
    } else {
      files.emplace_back(a);
    }
  }
  if (files.empty()) return usage_error("sign", "no message file given");
  QuietLog quiet;
  Log& log = quiet.log();
  int result = kOk;
  for (const std::string& file : files) {
    std::string text;
    if (!load_message(file, text)) {
      result = kFinding;
      continue;
    }
    std::array<std::string, kPartCount> texts;
    const PartCrcs crcs = sign_text(text, log, parts ? &texts : nullptr);
    const std::string signature = kRuleSet + make_signature_text(crcs);
    if (files.size() > 1) std::printf("%s\t", file.c_str());
    std::printf("%s\n", signature.c_str());
    if (!parts) continue;
    for (int p = 0; p < kPartCount; ++p) {
      std::printf("  %-10s %08x %s\n", kPartNames[p], crcs[p], json_string(texts[p]).c_str());
    }
  }
  return result;
}

int cmd_match(const Args& args) {
  if (wants_help(args)) return print_help(kMatchHelp);
  std::string db_path;
  std::string ini_path;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--db" || args[i] == "--ini") {
      if (i + 1 == args.size()) return usage_error("match", std::string(args[i]) + " needs a file");
      std::string& target = args[i] == "--db" ? db_path : ini_path;
      target = args[++i];
    } else if (args[i].starts_with("-") && args[i].size() > 1) {
      return usage_error("match", "unknown option " + std::string(args[i]));
    } else {
      files.emplace_back(args[i]);
    }
  }
  if (db_path.empty()) return usage_error("match", "--db FILE is required");
  if (files.empty()) return usage_error("match", "no message file given");

  LoadedDb loaded(db_path, ini_path);
  std::string error;
  if (!loaded.load(error)) {
    std::fprintf(stderr, "quarncrc-tool match: %s\n", error.c_str());
    return kFinding;
  }
  int result = kOk;
  for (const std::string& file : files) {
    std::string text;
    if (!load_message(file, text)) {
      result = kFinding;
      continue;
    }
    const PartCrcs crcs = sign_text(text, loaded.log(), nullptr);
    std::int32_t partial = 0;
    const MatchResult match =
        findarticlematches_fast(loaded.db(), loaded.settings(), crcs, partial, nullptr);
    const std::string signature = kRuleSet + make_signature_text(crcs);
    std::printf("%s: %s\n", file.c_str(), signature.c_str());
    Settings& settings = loaded.settings();
    if (match.matched) {
      std::printf("  OK %d %s %s %d - CRC matched (Score: %d/%d matching %d)\n", match.count,
                  match.status, match.type, match.id, match.score,
                  settings.get_int(IniKey::SCORE_MIN), settings.get_int(IniKey::MATCH_MIN));
    } else {
      std::printf("  OK 0 None None 0 - Not Found\n");
    }
    const bool allow_null_head = settings.is_true(IniKey::ALLOW_NULL_HEAD);
    if (const MessageRecord* best = loaded.best_record(crcs, allow_null_head)) {
      const std::string agree = domatchtypes(crcs, best->crc, allow_null_head, 1000);
      std::printf("  best record %d agrees in: %s\n", best->id,
                  agree.empty() ? "nothing" : agree.c_str() + 1);
    } else {
      std::printf("  no record agrees in any part\n");
    }
  }
  return result;
}

}  // namespace quarn::tool
