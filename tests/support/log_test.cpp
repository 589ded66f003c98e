// The log: line format, the 999-character cut, open modes, the size limit.
#include "support/log.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/testing/temp_dir.h"

namespace quarn {
namespace {

using testing::TempDir;

class LogTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.file("test.log"); }
  std::string content() const { return testing::read_file(path()); }
  TempDir dir_;
};

TEST_F(LogTest, LineFormatHasStampLevelAndText) {
  Log log;
  log.set_size_limit(0);
  ASSERT_EQ(log.open(path()), 1);
  log.emsg("error %d\n", 1);
  log.imsg("info\n");
  log.dmsg("debug\n");
  log.imsg("no line end");
  log.imsg("!\n");
  log.flush();
  // "DD HH:MM:SS:" with the day padded by a blank.
  auto stamped = [](const std::string& l) {
    if (l.size() < 12 || l[2] != ' ' || l[5] != ':' || l[8] != ':' || l[11] != ':') return false;
    for (int i : {1, 3, 4, 6, 7, 9, 10}) {
      if (l[i] < '0' || l[i] > '9') return false;
    }
    return l[0] == ' ' || (l[0] >= '1' && l[0] <= '3');
  };
  std::string text = content();
  std::vector<std::string> lines;
  for (size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
    lines.push_back(text.substr(pos, nl - pos));
  }
  ASSERT_EQ(lines.size(), 4u);
  for (const auto& l : lines) EXPECT_TRUE(stamped(l)) << l;
  EXPECT_EQ(lines[0].substr(11), ":Err: error 1");
  EXPECT_EQ(lines[1].substr(11), ":Info: info");
  EXPECT_EQ(lines[2].substr(11), ":dbg: debug");
  EXPECT_EQ(lines[3].substr(11, 19), ":Info: no line end ");  // runs into the next line
}

TEST_F(LogTest, StampIsDayAndTime) {
  std::string stamp = log_stamp(0);
  EXPECT_EQ(stamp.size(), 11u);
  EXPECT_EQ(stamp[2], ' ');
  EXPECT_EQ(stamp[5], ':');
}

TEST_F(LogTest, OverlongMessagesAreCutAndFlagged) {
  Log log;
  log.set_size_limit(0);
  ASSERT_EQ(log.open(path()), 1);
  log.imsg("%s", std::string(999, 'a').c_str());
  log.flush();
  EXPECT_EQ(content().find("FATAL"), std::string::npos);
  EXPECT_NE(content().find(std::string(999, 'a')), std::string::npos);

  log.imsg("\n%s", std::string(1500, 'b').c_str());
  log.flush();
  const std::string text = content();
  EXPECT_NE(text.find(":Err: FATAL, INMSG ERROR TOO LONG\n"), std::string::npos);
  EXPECT_NE(text.find(std::string(998, 'b')), std::string::npos);
  EXPECT_EQ(text.find(std::string(999, 'b')), std::string::npos);
}

TEST_F(LogTest, OpenModeFollowsTheSizeLimit) {
  testing::write_file(path(), "old line\n");
  {
    Log log;
    log.set_size_limit(0);
    ASSERT_EQ(log.open(path()), 1);
    log.emsg("appended\n");
  }
  EXPECT_EQ(content().rfind("old line\n", 0), 0u);
  {
    Log log;
    log.set_size_limit(1000);
    ASSERT_EQ(log.open(path()), 1);
    log.emsg("fresh\n");
  }
  EXPECT_EQ(content().find("old line"), std::string::npos);
}

TEST_F(LogTest, SizeLimitStartsTheFileAfreshOnlyWhenExceeded) {
  Log log;
  log.set_size_limit(100);
  ASSERT_EQ(log.open(path()), 1);
  // Error lines are flushed at once, so the size on disk is exact.
  log.emsg("%s\n", std::string(100 - 18, 'x').c_str());  // 18 = stamp, level, blank, line end
  ASSERT_EQ(content().size(), 100u);
  log.emsg("second\n");  // size equals the limit: no reopen
  EXPECT_NE(content().find(std::string(82, 'x')), std::string::npos);
  log.emsg("third\n");  // now over the limit: emptied first
  EXPECT_EQ(content().find('x'), std::string::npos);
  EXPECT_NE(content().find("third"), std::string::npos);
}

TEST_F(LogTest, WithoutAFileTextGoesToTheConsoleAlone) {
  std::FILE* console = std::tmpfile();
  Log log(console);
  log.imsg("early %s\n", "message");
  std::rewind(console);
  char buf[64] = {};
  std::fread(buf, 1, sizeof buf - 1, console);
  EXPECT_STREQ(buf, "early message\n");
  std::fclose(console);
  EXPECT_EQ(log.open(dir_.file("no/such/dir/x.log")), 0);
}

TEST_F(LogTest, DebugHookFollowsItsSwitch) {
  Log log;
  log.set_size_limit(0);
  ASSERT_EQ(log.open(path()), 1);
  log.hook("hidden\n");
  log.set_debug_hook(true);
  log.hook("shown\n");
  log.flush();
  EXPECT_EQ(content().find("hidden"), std::string::npos);
  EXPECT_NE(content().find(":dbg: shown"), std::string::npos);
}

}  // namespace
}  // namespace quarn
