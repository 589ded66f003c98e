// The settings file reader and its accessors: defaults, bounds, truth values
// and the reading quirks administrators' files depend on.
#include "support/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/testing/temp_dir.h"

namespace quarn {
namespace {

using testing::TempDir;

class SettingsTest : public ::testing::Test {
 protected:
  Settings& load(const std::string& content, bool test_mode = false) {
    dir_.write("quarncrc.ini", content);
    settings_ = std::make_unique<Settings>(
        log_, SettingsOptions{dir_.file("quarncrc.ini"), test_mode, 4242});
    settings_->init();
    return *settings_;
  }
  TempDir dir_;
  std::FILE* sink_ = std::fopen("/dev/null", "w");
  Log log_{sink_};
  std::unique_ptr<Settings> settings_;
  ~SettingsTest() override { std::fclose(sink_); }
};

TEST_F(SettingsTest, DefaultsWhenTheFileIsMissing) {
  Settings settings(log_, SettingsOptions{dir_.file("missing.ini"), false, 1});
  settings.init();
  EXPECT_EQ(settings.get(IniKey::HTTP_HOST), "localhost");
  EXPECT_EQ(settings.get_int(IniKey::HTTP_PORT), 80);
  EXPECT_EQ(settings.get_int(IniKey::UPDATE_INT), 60);
  EXPECT_EQ(settings.get_int(IniKey::MSG_SZ), 1048576);
  EXPECT_EQ(settings.get(IniKey::QUARN_CGI), "/cgi-bin/spamcgi.cgi");
  EXPECT_EQ(settings.get(IniKey::QUARN_EMAIL), "");
  EXPECT_EQ(settings.get_int(IniKey::MATCH_MIN), 5);
  EXPECT_EQ(settings.get_int(IniKey::SCORE_MIN), 8);
  EXPECT_EQ(settings.get_int(IniKey::LOG_SIZE), 1048576);
  EXPECT_EQ(settings.get(IniKey::LOG_FILE), "quarncrc.log");
  EXPECT_EQ(settings.get_int(IniKey::EXPIRE_DAYS), 14);
  EXPECT_EQ(settings.get_int(IniKey::FILTER_MAX), 10000);
  const std::vector<IniKey> true_keys = {IniKey::TRUST_ISSPAM, IniKey::FILTER_UPGRADE,
                                         IniKey::PARTIAL_MATCH, IniKey::AUTO_UPDATE};
  for (int i = 0; i < kIniKeyCount; ++i) {
    auto key = static_cast<IniKey>(i);
    bool expected = std::find(true_keys.begin(), true_keys.end(), key) != true_keys.end();
    EXPECT_EQ(settings.is_true(key), expected) << ini_key_names()[i];
  }
}

TEST_F(SettingsTest, NumbersTakeDefaultsAndBounds) {
  struct Case {
    const char* line;
    IniKey key;
    std::int32_t value;
  };
  const std::vector<Case> cases = {
      {"MATCH_MIN 0", IniKey::MATCH_MIN, 5},      {"SCORE_MIN 0", IniKey::SCORE_MIN, 8},
      {"SCORE_MIN abc", IniKey::SCORE_MIN, 8},    {"UPDATE_INT 5", IniKey::UPDATE_INT, 20},
      {"UPDATE_INT -3", IniKey::UPDATE_INT, 20},  {"UPDATE_INT 25", IniKey::UPDATE_INT, 25},
      {"FILTER_MAX 500", IniKey::FILTER_MAX, 1000},
      {"FILTER_MAX 0", IniKey::FILTER_MAX, 10000},
      {"FILTER_MAX -1", IniKey::FILTER_MAX, 1000},
      {"MATCH_MIN -2", IniKey::MATCH_MIN, -2},    {"MSG_SZ -7", IniKey::MSG_SZ, -7},
      {"EXPIRE_DAYS -1", IniKey::EXPIRE_DAYS, 14},  // would expire everything: default
      {"EXPIRE_DAYS 3", IniKey::EXPIRE_DAYS, 3},
      {"LOG_SIZE 0", IniKey::LOG_SIZE, 0},  // 0 is its own setting: no limit
      {"LOG_SIZE -5", IniKey::LOG_SIZE, 1048576},
      {"LOG_SIZE 2000", IniKey::LOG_SIZE, 2000},
      {"HTTP_PORT 8080x", IniKey::HTTP_PORT, 8080},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load(std::string(c.line) + "\n").get_int(c.key), c.value) << c.line;
  }
}

TEST_F(SettingsTest, TruthIsTheFirstLetter) {
  struct Case {
    const char* content;
    bool debug;
  };
  const std::vector<Case> cases = {
      {"DEBUG yes\n", false},       {"DEBUG Truthful\n", true}, {"DEBUG t\n", true},
      {"debug true\n", true},       {"DEBUG false\n", false},   {"DEBUG\n", false},
      {"DEBUG true\nDEBUG no\n", false},  // the last occurrence wins
  };
  for (const auto& c : cases) EXPECT_EQ(load(c.content).is_true(IniKey::DEBUG), c.debug)
      << c.content;
}

TEST_F(SettingsTest, ReadingQuirks) {
  Settings& s = load(
      "  QUARN_EMAIL\tuser@example.com  \t\r\n"
      "QUARN_PASS \"secret word\" ignored\n"
      "# remark\n"
      "[section]\n"
      "PARTIAL_MATCH   \n"
      "HTTP_HOST=feed.example\n"
      "QUARN_CGI  /two/spaces\n");
  EXPECT_EQ(s.get(IniKey::QUARN_EMAIL), "user@example.com");
  EXPECT_EQ(s.get(IniKey::QUARN_PASS), "secret word");
  EXPECT_TRUE(s.is_true(IniKey::PARTIAL_MATCH));  // stored empty: the default
  EXPECT_EQ(s.get(IniKey::HTTP_HOST), "localhost");
  EXPECT_EQ(s.get(IniKey::QUARN_CGI), " /two/spaces");
}

TEST_F(SettingsTest, UnknownKeysAndBadFilesAreReported) {
  SiniStore store;
  store.init({"ONE", "TWO"});
  std::string error;
  dir_.write("a.ini", "one 1\n# remark\nTHREE 3\ntwo 2\n");
  EXPECT_EQ(store.load(dir_.file("a.ini"), error), 0);
  EXPECT_EQ(error, "invalid setting THREE");
  EXPECT_EQ(store.get(0), "1");
  EXPECT_EQ(store.get(1), "2");
  EXPECT_EQ(store.load(dir_.file("none.ini"), error), 0);
  EXPECT_NE(error.find("none.ini"), std::string::npos);
}

TEST_F(SettingsTest, RawTruthReadsOnlyExactWords) {
  EXPECT_TRUE(load("NO_DLCOUNT True\n").is_raw_true(IniKey::NO_DLCOUNT));
  EXPECT_FALSE(load("NO_DLCOUNT t\n").is_raw_true(IniKey::NO_DLCOUNT));
  EXPECT_TRUE(load("NO_DLCOUNT t\n").is_true(IniKey::NO_DLCOUNT));
  EXPECT_FALSE(load("NO_DLCOUNT tRUE\n").is_raw_true(IniKey::NO_DLCOUNT));
}

TEST_F(SettingsTest, PerProcessLogFileName) {
  EXPECT_EQ(load("LOG_FILE my.log\n").get(IniKey::LOG_FILE), "my.log");
  EXPECT_EQ(load("LOG_FILE my.log\nLOG_PID true\n").get(IniKey::LOG_FILE),
            "quarncrc_4242.log");
  EXPECT_EQ(load("LOG_FILE my.log\n", true).get(IniKey::LOG_FILE), "quarncrc_4242.log");
}

TEST_F(SettingsTest, LongLinesAreReadInPieces) {
  // The first 998 characters form one piece; the rest is a line of its own.
  std::string content = "QUARN_PASS " + std::string(987, 'p') + "QUARN_EMAIL x@y\n";
  Settings& s = load(content);
  EXPECT_EQ(s.get(IniKey::QUARN_PASS), std::string(987, 'p'));
  EXPECT_EQ(s.get(IniKey::QUARN_EMAIL), "x@y");
}

TEST_F(SettingsTest, ServerIntervalReplacesTheConfiguredOne) {
  Settings& s = load("UPDATE_INT 30\n");
  s.set_server_interval(5);
  EXPECT_EQ(s.get_int(IniKey::UPDATE_INT), 5);
  s.set_server_interval(0);
  EXPECT_EQ(s.get_int(IniKey::UPDATE_INT), 30);
}

TEST_F(SettingsTest, ReloadTakesEffectAndFollowsDebug) {
  Settings& s = load("SCORE_MIN 12\nDEBUG true\n");
  EXPECT_TRUE(log_.debug_hook_on());
  std::string held = s.get(IniKey::SCORE_MIN);
  dir_.write("quarncrc.ini", "MATCH_MIN 3\n");
  EXPECT_EQ(s.reload(), 1);
  EXPECT_EQ(held, "12");  // a value handed out survives the reload
  EXPECT_EQ(s.get_int(IniKey::SCORE_MIN), 8);
  EXPECT_EQ(s.get_int(IniKey::MATCH_MIN), 3);
  EXPECT_FALSE(log_.debug_hook_on());
}

TEST_F(SettingsTest, MutexTimeoutReadsAsEmpty) {
  dir_.write("quarncrc.ini", "TRUST_ISSPAM false\nSCORE_MIN 12\n");
  Settings s(log_, SettingsOptions{dir_.file("quarncrc.ini"), false, 1, 50});
  s.init();
  std::thread holder([&] {
    s.mutex().wait(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    s.mutex().release();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(s.get(IniKey::SCORE_MIN), "");
  EXPECT_TRUE(s.is_true(IniKey::TRUST_ISSPAM));  // empty: true-by-default keys read true
  EXPECT_EQ(s.reload(), 0);
  holder.join();
  EXPECT_EQ(s.get_int(IniKey::SCORE_MIN), 12);
}

}  // namespace
}  // namespace quarn
