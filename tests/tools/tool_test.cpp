// quarncrc-tool, run as a program: its answers against the engine's own
// (SCAN answers, X-Quarn-CRC lines, the compiler's golden messages).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "filter/rule_listing.h"
#include "signature/crc.h"
#include "signature/msgcrc.h"
#include "tests/testing/corpus.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int status = -1;
  std::string out;
};

// Runs the tool through the shell (in `dir` when given); standard error is
// dropped.
ToolRun tool(const std::string& args, const fs::path& dir = {}) {
  std::string command = std::string(TOOL_BIN) + " " + args + " 2>/dev/null";
  if (!dir.empty()) command = "cd '" + dir.string() + "' && " + command;
  ToolRun run;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

fs::path examples() { return fs::path(QUARN_SOURCE_DIR) / "examples"; }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Undoes the tool's JSON string escapes (\" \\ \n \r \t \u00XX).
std::string json_field(const std::string& object, const std::string& key) {
  const std::string start = "\"" + key + "\":\"";
  std::size_t i = object.find(start);
  if (i == std::string::npos) return "<missing>";
  std::string out;
  for (i += start.size(); i < object.size() && object[i] != '"'; ++i) {
    if (object[i] != '\\') {
      out += object[i];
      continue;
    }
    const char c = object[++i];
    if (c == 'n') out += '\n';
    else if (c == 'r') out += '\r';
    else if (c == 't') out += '\t';
    else if (c == 'u') {
      out += static_cast<char>(std::stoi(object.substr(i + 1, 4), nullptr, 16));
      i += 4;
    } else out += c;
  }
  return out;
}

TEST(Tool, ExitCodesAndHelp) {
  const struct {
    std::string args;
    int status;
  } cases[] = {
      {"", 2},          {"bogus", 2},          {"sign", 2},
      {"sign --x a", 2}, {"match a.eml", 2},   {"match --db", 2},
      {"db", 2},        {"db stats", 2},       {"db frob x", 2},
      {"trace", 2},     {"lint a b", 2},       {"sign /nonexistent", 1},
      {"--help", 0},    {"sign --help", 0},    {"match --help", 0},
      {"db --help", 0}, {"lint --help", 0},    {"trace --help", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(tool(c.args).status, c.status) << c.args;
  EXPECT_NE(tool("trace --help").out.find("--json"), std::string::npos);
}

TEST(Tool, MatchAndDatabaseOnExamples) {
  const std::string db = (examples() / "quarncrc.db").string();
  const ToolRun match = tool("match --db " + db + " " + (examples() / "messages/spam-2.eml").string() +
                         " " + (examples() / "messages/ham-1.eml").string());
  ASSERT_EQ(match.status, 0);
  EXPECT_NE(match.out.find("OK 25 Spam Advertising 1001 - CRC matched (Score: 17/8 matching 5)"),
            std::string::npos) << match.out;
  EXPECT_NE(match.out.find("agrees in: From,Subject,Received,Message ID,Body 1"), std::string::npos);
  EXPECT_NE(match.out.find("OK 0 None None 0 - Not Found"), std::string::npos);

  const ToolRun stats = tool("db stats " + db);
  EXPECT_EQ(stats.status, 0);
  EXPECT_NE(stats.out.find("1 records"), std::string::npos) << stats.out;
  EXPECT_NE(stats.out.find("Spam"), std::string::npos);
  EXPECT_EQ(tool("db check " + db).status, 0);

  // Line numbers follow the file; a line cut by the 999-character reader
  // keeps its number.
  TempDir dir;
  dir.write("bad.db", "SET|5|1765000000|1|0|2|1|A#0$0|\nNOPE|1\nDEL|0\n" + std::string(1500, 'x') +
                          "\nTIME|1\n");
  const ToolRun check = tool("db check " + dir.file("bad.db"));
  EXPECT_EQ(check.status, 1);
  const auto lines = lines_of(check.out);
  ASSERT_GE(lines.size(), 4u) << check.out;
  EXPECT_NE(lines[0].find("bad.db:1: Removing outdated item (5)"), std::string::npos);
  EXPECT_NE(lines[1].find("bad.db:2: do_update_command - Invalid command (NOPE)"), std::string::npos);
  EXPECT_NE(lines[2].find("bad.db:3: do_update_command - Invalid ID, skipping (0)"), std::string::npos);
  for (std::size_t i = 3; i < lines.size(); ++i) EXPECT_NE(lines[i].find("bad.db:4:"), std::string::npos);
}

// Every statement message the compiler tests expect, with its file and line.
TEST(Tool, LintGivesTheCompilerGoldenMessages) {
  const fs::path root = fs::path(QUARN_SOURCE_DIR) / "tests" / "data" / "rules";
  const std::regex located(R"(^([^:]+):(\d+): (.*)$)");
  int cases = 0;
  for (const auto& entry : fs::directory_iterator(root)) {
    if (!entry.is_directory()) continue;
    ++cases;
    std::vector<std::string> expected;
    bool ok = false;
    for (const std::string& line : lines_of(read_file((entry.path() / "expected.txt").string()))) {
      if (line == "result ok") ok = true;
      if (!line.starts_with("  E \"") && !line.starts_with("  I \"")) continue;
      std::string quoted = line.substr(4);
      if (quoted.starts_with("\"rfilter: Compile ") || quoted.starts_with("\"rfilter: include") ||
          quoted.starts_with("\"Compiling ")) {
        continue;
      }
      if (quoted.ends_with("\\n\"")) quoted.replace(quoted.size() - 3, 3, "\"");
      expected.push_back(quoted);
    }
    const ToolRun lint = tool("lint", entry.path());
    EXPECT_EQ(lint.status, ok ? 0 : 1) << entry.path();
    std::vector<std::string> actual;
    for (const std::string& line : lines_of(lint.out)) {
      std::smatch m;
      if (!std::regex_match(line, m, located) || m[3].str().starts_with("warning: ")) continue;
      EXPECT_GE(std::stoi(m[2].str()), 1);
      actual.push_back(quote_text(m[3].str()));
    }
    EXPECT_EQ(actual, expected) << entry.path();
  }
  EXPECT_GT(cases, 10);

  // What compiles but cannot work is a warning at the line that never runs.
  TempDir dir;
  dir.write("filter.dat", "if (exists(\"x y\")) reject a\naccept all\nprint never\n");
  const ToolRun lint = tool("lint", dir.path());
  EXPECT_EQ(lint.status, 0);
  EXPECT_NE(lint.out.find("header name (x y) can never be filled"), std::string::npos) << lint.out;
  EXPECT_NE(lint.out.find("filter.dat:3: warning: never runs"), std::string::npos) << lint.out;
}

// The tool's signature is the engine's X-Quarn-CRC, and every part's CRC is
// the CRC of the text the tool shows for it.
TEST(Tool, SignEqualsTheEnginesSignatureForTheCorpus) {
  const auto files = corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  TempDir dir;
  dir.write("quarncrc.ini", "SKIP_FILTER true\nAUTO_UPDATE false\n");
  dir.write("filter.dat", "");
  std::vector<std::string> expected;
  {
    EngineProcess engine(dir.path(), {});
    for (const auto& file : files) {
      const std::string answer = engine.command("t SCAN " + file.string() + " none");
      const std::size_t at = answer.find("X-Quarn-CRC: ");
      expected.push_back(at == std::string::npos ? answer
                                                 : answer.substr(at + 13, answer.find('\n', at) - at - 13));
    }
    engine.send("QUIT");
  }
  // In groups, so that no command line grows past the system's limit.
  std::vector<std::string> lines;
  for (std::size_t first = 0; first < files.size(); first += 200) {
    std::string list;
    for (std::size_t i = first; i < std::min(files.size(), first + 200); ++i) {
      list += " '" + files[i].string() + "'";
    }
    for (std::string& line : lines_of(tool("sign" + list).out)) lines.push_back(std::move(line));
  }
  ASSERT_EQ(lines.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(lines[i], files[i].string() + "\t" + expected[i]);
  }

  std::FILE* sink = std::fopen("/dev/null", "w");
  Log log(sink);
  for (const auto& file : files) {
    const std::string text = read_file(file.string());
    PartCrcs crcs{};
    std::array<std::string, kPartCount> texts;
    msgcrc(text, crcs, log, &texts);
    for (int p = 0; p < kPartCount; ++p) {
      if (crcs[p] != 0) {
        EXPECT_EQ(do_crc(texts[p]), crcs[p]) << file << " part " << p;
      }
    }
  }
  std::fclose(sink);
}

TEST(Tool, TraceAnswersAsScanDoes) {
  const auto all = corpus_files();
  if (all.empty()) GTEST_SKIP() << "no corpus";
  std::vector<fs::path> files;
  for (std::size_t i = 0; i < all.size() && files.size() < 200; i += std::max<std::size_t>(1, all.size() / 200)) {
    files.push_back(all[i]);
  }
  TempDir dir;
  fs::copy(examples(), dir.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  const std::string envelope = (examples() / "messages" / "ham-1.env").string();
  std::vector<std::string> expected;
  {
    EngineProcess engine(dir.path(), {});
    for (const auto& file : files) {
      expected.push_back(engine.command("trace SCAN " + file.string() + " " + envelope));
    }
    engine.send("QUIT");
  }
  std::string list;
  for (const auto& file : files) list += " '" + file.string() + "'";
  const ToolRun trace = tool("trace --json --env " + envelope + list, dir.path());
  EXPECT_EQ(trace.status, 0);
  const auto objects = lines_of(trace.out);
  ASSERT_EQ(objects.size(), files.size());
  int scored = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(json_field(objects[i], "answer"), expected[i]) << files[i];
    if (expected[i].find("X-SpamDetect:") != std::string::npos) {
      ++scored;
      EXPECT_NE(objects[i].find("\"scores\":[{"), std::string::npos) << files[i];
    }
  }
  EXPECT_GT(scored, 0);

  // The human form shows the same block and the run's lines.
  const ToolRun text = tool("trace --workdir " + dir.path().string() + " " +
                        (examples() / "messages" / "spam-2.eml").string());
  EXPECT_NE(text.out.find("X-Quarn-Match: 25 Spam Advertising 1001"), std::string::npos);
  EXPECT_NE(text.out.find("rrun: Expression Result="), std::string::npos);
  EXPECT_NE(text.out.find("-- scores"), std::string::npos);
}

}  // namespace
}  // namespace quarn::testing
