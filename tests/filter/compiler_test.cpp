// Compiler behaviours that golden files cannot show well: limits, two
// engines side by side, failures and the current filter.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "filter/rule_engine.h"
#include "filter/rule_listing.h"
#include "tests/filter/rule_test_util.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

struct Compiled {
  std::unique_ptr<RuleFilter> filter;
  std::vector<std::string> errors;
};

Compiled compile_text(RuleEngine& engine, const TempDir& dir, std::string_view text) {
  dir.write("filter.dat", text);
  LogCollector log(engine);
  Compiled out;
  out.filter = engine.rfilter_compile(dir.file("filter.dat"));
  out.errors = log.errors();
  return out;
}

TEST(Compiler, TwoEnginesCompileSideBySide) {
  TempDir dir;
  dir.write("a.dat", "if (exists(alpha)) setflag(one)\n");
  dir.write("b.dat", "if (exists(beta)) setflag(two)\nif (exists(gamma)) accept x\n");
  RuleEngine first;
  RuleEngine second;
  auto a = first.rfilter_compile(dir.file("a.dat"));
  auto b = second.rfilter_compile(dir.file("b.dat"));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(first.current_filter(), a.get());
  EXPECT_EQ(second.current_filter(), b.get());
  EXPECT_EQ(a->headers.names(), std::vector<std::string>{"alpha"});
  EXPECT_EQ(b->headers.names(), (std::vector<std::string>{"beta", "gamma"}));
  EXPECT_EQ(first.line_counter(), 1);
  EXPECT_EQ(second.line_counter(), 2);
  // Run-time registrations go to each engine's current filter.
  EXPECT_EQ(first.rf_flag_findadd("FROMEQTO"), 4);
  EXPECT_EQ(b->flags.find("fromeqto"), -1);
}

TEST(Compiler, FileThatDoesNotOpen) {
  TempDir dir;
  RuleEngine engine;
  LogCollector log(engine);
  EXPECT_EQ(engine.rfilter_compile(""), nullptr);
  EXPECT_TRUE(log.texts.empty());
  EXPECT_EQ(engine.rfilter_error(), "No Error");

  const std::string missing = dir.file("missing.dat");
  EXPECT_EQ(engine.rfilter_compile(missing), nullptr);
  EXPECT_EQ(engine.rfilter_error(),
            "Can't read (" + missing + ") (No such file or directory)\n");
  EXPECT_TRUE(log.has("Compiling " + missing + "\n"));

  dir.write("ok.dat", "accept x\n");
  EXPECT_NE(engine.rfilter_compile(dir.file("ok.dat")), nullptr);
  EXPECT_EQ(engine.rfilter_error(), "No Error");
}

TEST(Compiler, OnlyRegularFilesAreRead) {
  TempDir dir;
  RuleEngine engine;
  LogCollector log(engine);
  engine.rfilter_trace(true);
  std::filesystem::create_directory(dir.path() / "folder.dat");
  EXPECT_EQ(engine.rfilter_compile(dir.file("folder.dat")), nullptr);
  EXPECT_EQ(engine.rfilter_error(),
            "Can't read (" + dir.file("folder.dat") + ") (Is a directory)\n");
  // A device or pipe is never read: it could block on the engine's own
  // input or never end.
  ASSERT_EQ(::mkfifo(dir.file("pipe.dat").c_str(), 0600), 0);
  dir.write("filter.dat", "#include /dev/zero\n#include " + dir.file("pipe.dat") + "\naccept x\n");
  auto filter = engine.rfilter_compile(dir.file("filter.dat"));
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->lines.size(), 1u);
  EXPECT_TRUE(log.has("rfilter: include  failed /dev/zero Invalid argument\n"));
  EXPECT_TRUE(log.has("rfilter: include  failed " + dir.file("pipe.dat") + " Invalid argument\n"));
}

TEST(Compiler, FailedCompileRestoresTheCurrentFilter) {
  TempDir dir;
  RuleEngine engine;
  Compiled good = compile_text(engine, dir, "accept x\n");
  ASSERT_TRUE(good.filter);
  Compiled bad = compile_text(engine, dir, "accept y\ncall nosuch(x)\n");
  EXPECT_EQ(bad.filter, nullptr);
  EXPECT_EQ(engine.current_filter(), good.filter.get());
  engine.rfilter_free(good.filter);
  EXPECT_EQ(engine.current_filter(), nullptr);
  EXPECT_EQ(engine.rf_flag_findadd("x"), 0);
}

TEST(Compiler, NameTablesKeepRoomForTen) {
  TempDir dir;
  RuleEngine engine;
  std::string text;
  for (int i = 0; i < 95; ++i) text += "if (exists(h" + std::to_string(i) + ")) accept x\n";
  for (int i = 0; i < 295; ++i) text += "setflag(f" + std::to_string(i) + ")\n";
  Compiled c = compile_text(engine, dir, text);
  ASSERT_TRUE(c.filter);
  EXPECT_EQ(c.filter->headers.size(), 91u);
  EXPECT_EQ(c.filter->flags.size(), 291u);
  int header_full = 0;
  int flag_full = 0;
  for (const auto& e : c.errors) {
    header_full += e == "Too many different headers in rules file";
    flag_full += e == "Too many different flags in rules file";
  }
  EXPECT_EQ(header_full, 4);
  EXPECT_EQ(flag_full, 4 + 3);  // the three skip flags do not fit either
  EXPECT_EQ(c.filter->lines[94].exprs[0].number, 0);
  EXPECT_EQ(c.filter->lines[90].exprs[0].number, 90);
  EXPECT_EQ(c.filter->skip_dup_flag, 0);
}

TEST(Compiler, OverlongStatementsAreDropped) {
  TempDir dir;
  RuleEngine engine;
  // 1001 tokens: dropped; 1000 tokens: kept.
  std::string many = "print x";
  for (int i = 0; i < 998; ++i) many += " y";
  Compiled c = compile_text(engine, dir, many + "\n" + many + " z\n");
  ASSERT_TRUE(c.filter);
  ASSERT_EQ(c.filter->lines.size(), 1u);
  EXPECT_EQ(c.filter->lines[0].line_number, 1);
  EXPECT_EQ(c.errors, std::vector<std::string>{"rfilter: Too many tokens, line 2 dropped\n"});

  // Two continued pieces of 6000 characters exceed the 9999-character
  // statement; the line after the dropped statement starts a new one.
  const std::string piece = "print " + std::string(5993, 'a') + "\\\n";
  c = compile_text(engine, dir, piece + piece + "accept z\n");
  ASSERT_TRUE(c.filter);
  ASSERT_EQ(c.filter->lines.size(), 1u);
  EXPECT_EQ(c.filter->lines[0].argument, "z");
  EXPECT_EQ(c.errors, std::vector<std::string>{"rfilter: Statement too long, line 2 dropped\n"});
}

TEST(Compiler, LongPhysicalLinesArriveInPieces) {
  TempDir dir;
  RuleEngine engine;
  // 9998 characters per piece: the rest of the line is a statement of its own.
  Compiled c = compile_text(engine, dir, "print " + std::string(9992, 'a') + "accept rest\n");
  ASSERT_TRUE(c.filter);
  ASSERT_EQ(c.filter->lines.size(), 2u);
  EXPECT_EQ(c.filter->lines[0].argument->size(), 9992u);
  EXPECT_EQ(c.filter->lines[0].line_text.size(), 100u);
  EXPECT_EQ(c.filter->lines[1].line_number, 2);
  EXPECT_EQ(c.filter->lines[1].argument, "rest");
}

TEST(Compiler, ByteZeroEndsThePhysicalLine) {
  TempDir dir;
  RuleEngine engine;
  Compiled c = compile_text(engine, dir, std::string("accept a\0 hidden\\\naccept b\n", 26));
  ASSERT_TRUE(c.filter);
  ASSERT_EQ(c.filter->lines.size(), 2u);
  EXPECT_EQ(c.filter->lines[0].line_text, "accept a");
  EXPECT_EQ(c.filter->lines[1].argument, "b");
}

TEST(Compiler, SelfIncludingFilesStopAtTheIncludeLimit) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  RuleEngine engine;
  engine.set_include_limit(50);
  std::string text = "print x\n";
  for (int i = 0; i < 6; ++i) text += "#include filter.dat\n";
  const auto start = std::chrono::steady_clock::now();
  Compiled c = compile_text(engine, dir, text);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_TRUE(c.filter);
  EXPECT_EQ(c.filter->lines.size(), 51u);
  EXPECT_FALSE(c.errors.empty());
  EXPECT_TRUE(c.errors[0].starts_with("rfilter: Too many included files, line "));
  EXPECT_TRUE(c.errors[0].ends_with(" include filter.dat ignored\n"));
}

TEST(Compiler, TraceLinesOnlyWithTraceOn) {
  TempDir dir;
  RuleEngine engine;
  const std::string long_line = "print " + std::string(60, 'p');
  Compiled quiet = compile_text(engine, dir, long_line + "\n");
  EXPECT_TRUE(quiet.errors.empty());
  engine.rfilter_trace(true);
  Compiled loud = compile_text(engine, dir, long_line + "\n");
  ASSERT_EQ(loud.errors.size(), 1u);
  EXPECT_EQ(loud.errors[0], "rfilter: Compile " + long_line.substr(0, 55) + "...\n");
}

TEST(Compiler, VariablesLastForOneCompile) {
  TempDir dir;
  RuleEngine engine;
  ASSERT_TRUE(compile_text(engine, dir, "$v = one\nprint $v\n").filter);
  Compiled c = compile_text(engine, dir, "print $v\n");
  ASSERT_TRUE(c.filter);
  EXPECT_EQ(c.filter->lines[0].argument, "$v");
  EXPECT_EQ(c.errors,
            std::vector<std::string>{"rfilter: Undefined variable, line 1 variable $v\n"});
}

TEST(Compiler, AssignmentValueLimit) {
  TempDir dir;
  RuleEngine engine;
  const std::string part(4950, 'x');
  Compiled c = compile_text(engine, dir,
                            "$a = " + part + " + " + part + "\nprint $a\n$b = " + part + " + " +
                                part + " + y\nprint $b\n");
  ASSERT_TRUE(c.filter);
  EXPECT_EQ(c.filter->lines[0].argument->size(), 9900u);
  EXPECT_EQ(c.filter->lines[1].argument, "$b");
  EXPECT_EQ(c.errors[0], "rfilter: Line too long in assign\n");
}

}  // namespace
}  // namespace quarn::testing
