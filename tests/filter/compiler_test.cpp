// Compiler behaviours that golden files cannot show well: limits, two
// compilers side by side, failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "filter/filter_run.h"
#include "filter/rule_compiler.h"
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

// A compiler with loggers of its own.
struct Rig {
  explicit Rig(int include_limit = kIncludeLimit) : compiler(log, include_limit) {}
  RuleLog log;
  RuleCompiler compiler;
};

Compiled compile_text(Rig& rig, const TempDir& dir, std::string_view text) {
  dir.write("filter.dat", text);
  LogCollector log(rig.log);
  Compiled out;
  out.filter = rig.compiler.compile(dir.file("filter.dat"));
  out.errors = log.errors();
  return out;
}

TEST(Compiler, TwoCompilersSideBySide) {
  TempDir dir;
  dir.write("a.dat", "if (exists(alpha)) setflag(one)\n");
  dir.write("b.dat", "if (exists(beta)) setflag(two)\nif (exists(gamma)) accept x\n");
  Rig first;
  Rig second;
  auto a = first.compiler.compile(dir.file("a.dat"));
  auto b = second.compiler.compile(dir.file("b.dat"));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->headers.names(), std::vector<std::string>{"alpha"});
  EXPECT_EQ(b->headers.names(), (std::vector<std::string>{"beta", "gamma"}));
  EXPECT_EQ(first.compiler.line_counter(), 1);
  EXPECT_EQ(second.compiler.line_counter(), 2);
  // Run-time registrations go to the run's own filter.
  RuleEngine engine;
  FilterRun run(engine, *a);
  EXPECT_EQ(run.flag_index("FROMEQTO"), 4);
  EXPECT_EQ(b->flags.find("fromeqto"), -1);
}

TEST(Compiler, FileThatDoesNotOpen) {
  TempDir dir;
  Rig rig;
  LogCollector log(rig.log);
  EXPECT_EQ(rig.compiler.compile(""), nullptr);
  EXPECT_TRUE(log.texts.empty());
  EXPECT_EQ(rig.compiler.error(), "No Error");

  const std::string missing = dir.file("missing.dat");
  EXPECT_EQ(rig.compiler.compile(missing), nullptr);
  EXPECT_EQ(rig.compiler.error(),
            "Can't read (" + missing + ") (No such file or directory)\n");
  EXPECT_TRUE(log.has("Compiling " + missing + "\n"));

  dir.write("ok.dat", "accept x\n");
  EXPECT_NE(rig.compiler.compile(dir.file("ok.dat")), nullptr);
  EXPECT_EQ(rig.compiler.error(), "No Error");
}

TEST(Compiler, OnlyRegularFilesAreRead) {
  TempDir dir;
  Rig rig;
  LogCollector log(rig.log);
  rig.log.set_trace(true);
  std::filesystem::create_directory(dir.path() / "folder.dat");
  EXPECT_EQ(rig.compiler.compile(dir.file("folder.dat")), nullptr);
  EXPECT_EQ(rig.compiler.error(),
            "Can't read (" + dir.file("folder.dat") + ") (Is a directory)\n");
  // A device or pipe is never read: it could block on the engine's own
  // input or never end.
  ASSERT_EQ(::mkfifo(dir.file("pipe.dat").c_str(), 0600), 0);
  dir.write("filter.dat", "#include /dev/zero\n#include " + dir.file("pipe.dat") + "\naccept x\n");
  auto filter = rig.compiler.compile(dir.file("filter.dat"));
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->lines.size(), 1u);
  EXPECT_TRUE(log.has("rfilter: include  failed /dev/zero Invalid argument\n"));
  EXPECT_TRUE(log.has("rfilter: include  failed " + dir.file("pipe.dat") + " Invalid argument\n"));
}

TEST(Compiler, FailedCompileLeavesTheEarlierFilterAlone) {
  TempDir dir;
  Rig rig;
  Compiled good = compile_text(rig, dir, "accept x\n");
  ASSERT_TRUE(good.filter);
  const std::vector<std::string> flags = good.filter->flags.names();
  Compiled bad = compile_text(rig, dir, "accept y\ncall nosuch(x)\n");
  EXPECT_EQ(bad.filter, nullptr);
  EXPECT_EQ(good.filter->lines.size(), 1u);
  EXPECT_EQ(good.filter->flags.names(), flags);
}

TEST(Compiler, NameTablesKeepRoomForTen) {
  TempDir dir;
  Rig rig;
  std::string text;
  for (int i = 0; i < 95; ++i) text += "if (exists(h" + std::to_string(i) + ")) accept x\n";
  for (int i = 0; i < 295; ++i) text += "setflag(f" + std::to_string(i) + ")\n";
  Compiled c = compile_text(rig, dir, text);
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
  Rig rig;
  // 1001 tokens: dropped; 1000 tokens: kept.
  std::string many = "print x";
  for (int i = 0; i < 998; ++i) many += " y";
  Compiled c = compile_text(rig, dir, many + "\n" + many + " z\n");
  ASSERT_TRUE(c.filter);
  ASSERT_EQ(c.filter->lines.size(), 1u);
  EXPECT_EQ(c.filter->lines[0].line_number, 1);
  EXPECT_EQ(c.errors, std::vector<std::string>{"rfilter: Too many tokens, line 2 dropped\n"});

  // Two continued pieces of 6000 characters exceed the 9999-character
  // statement; the line after the dropped statement starts a new one.
  const std::string piece = "print " + std::string(5993, 'a') + "\\\n";
  c = compile_text(rig, dir, piece + piece + "accept z\n");
  ASSERT_TRUE(c.filter);
  ASSERT_EQ(c.filter->lines.size(), 1u);
  EXPECT_EQ(c.filter->lines[0].argument, "z");
  EXPECT_EQ(c.errors, std::vector<std::string>{"rfilter: Statement too long, line 2 dropped\n"});
}

TEST(Compiler, LongPhysicalLinesArriveInPieces) {
  TempDir dir;
  Rig rig;
  // 9998 characters per piece: the rest of the line is a statement of its own.
  Compiled c = compile_text(rig, dir, "print " + std::string(9992, 'a') + "accept rest\n");
  ASSERT_TRUE(c.filter);
  ASSERT_EQ(c.filter->lines.size(), 2u);
  EXPECT_EQ(c.filter->lines[0].argument->size(), 9992u);
  EXPECT_EQ(c.filter->lines[0].line_text.size(), 100u);
  EXPECT_EQ(c.filter->lines[1].line_number, 2);
  EXPECT_EQ(c.filter->lines[1].argument, "rest");
}

TEST(Compiler, ByteZeroEndsThePhysicalLine) {
  TempDir dir;
  Rig rig;
  Compiled c = compile_text(rig, dir, std::string("accept a\0 hidden\\\naccept b\n", 26));
  ASSERT_TRUE(c.filter);
  ASSERT_EQ(c.filter->lines.size(), 2u);
  EXPECT_EQ(c.filter->lines[0].line_text, "accept a");
  EXPECT_EQ(c.filter->lines[1].argument, "b");
}

TEST(Compiler, SelfIncludingFilesStopAtTheIncludeLimit) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  Rig rig(50);
  std::string text = "print x\n";
  for (int i = 0; i < 6; ++i) text += "#include filter.dat\n";
  const auto start = std::chrono::steady_clock::now();
  Compiled c = compile_text(rig, dir, text);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_TRUE(c.filter);
  EXPECT_EQ(c.filter->lines.size(), 51u);
  EXPECT_FALSE(c.errors.empty());
  EXPECT_TRUE(c.errors[0].starts_with("rfilter: Too many included files, line "));
  EXPECT_TRUE(c.errors[0].ends_with(" include filter.dat ignored\n"));
}

TEST(Compiler, TraceLinesOnlyWithTraceOn) {
  TempDir dir;
  Rig rig;
  const std::string long_line = "print " + std::string(60, 'p');
  Compiled quiet = compile_text(rig, dir, long_line + "\n");
  EXPECT_TRUE(quiet.errors.empty());
  rig.log.set_trace(true);
  Compiled loud = compile_text(rig, dir, long_line + "\n");
  ASSERT_EQ(loud.errors.size(), 1u);
  EXPECT_EQ(loud.errors[0], "rfilter: Compile " + long_line.substr(0, 55) + "...\n");
}

TEST(Compiler, VariablesLastForOneCompile) {
  TempDir dir;
  Rig rig;
  ASSERT_TRUE(compile_text(rig, dir, "$v = one\nprint $v\n").filter);
  Compiled c = compile_text(rig, dir, "print $v\n");
  ASSERT_TRUE(c.filter);
  EXPECT_EQ(c.filter->lines[0].argument, "$v");
  EXPECT_EQ(c.errors,
            std::vector<std::string>{"rfilter: Undefined variable, line 1 variable $v\n"});
}

TEST(Compiler, AssignmentValueLimit) {
  TempDir dir;
  Rig rig;
  const std::string part(4950, 'x');
  Compiled c = compile_text(rig, dir,
                            "$a = " + part + " + " + part + "\nprint $a\n$b = " + part + " + " +
                                part + " + y\nprint $b\n");
  ASSERT_TRUE(c.filter);
  EXPECT_EQ(c.filter->lines[0].argument->size(), 9900u);
  EXPECT_EQ(c.filter->lines[1].argument, "$b");
  EXPECT_EQ(c.errors[0], "rfilter: Line too long in assign\n");
}

}  // namespace
}  // namespace quarn::testing
