#include "milter/answer.h"

#include <gtest/gtest.h>

#include <vector>

namespace quarn::milter {
namespace {

std::vector<Answer> read_all(std::string_view bytes, std::size_t chunk) {
  AnswerReader reader;
  std::vector<Answer> answers;
  for (std::size_t i = 0; i < bytes.size(); i += chunk) {
    reader.feed(bytes.substr(i, chunk));
    while (auto answer = reader.next()) answers.push_back(std::move(*answer));
  }
  return answers;
}

TEST(AnswerReader, ReadsBlocksCleanAndErrorAnswersInAnyChunking) {
  const std::string engine_output =
      "1.1 DATA\n"
      "X-Quarn-CRC: A$1#2$3$4$5$6$7$8$9\n"
      "X-Quarn-Match: 12 Spam Porn 4711\n"
      "X-SpamDetect: ***: 3.200000 caps\n"
      ".\n"
      "1.2 CLEAN\n"
      "1.3 ERROR Incorrect number of parameters\n"
      "\n"
      "1.4 ERROR Unable to open scan file (/x) (No such file or directory)\r\n"
      "1.5 DATA\n"
      ".\n";
  for (std::size_t chunk : {engine_output.size(), std::size_t{1}, std::size_t{7}}) {
    auto answers = read_all(engine_output, chunk);
    ASSERT_EQ(answers.size(), 5u) << "chunk " << chunk;
    EXPECT_EQ(answers[0].tag, "1.1");
    EXPECT_EQ(answers[0].kind, Answer::Kind::kData);
    EXPECT_EQ(answers[0].headers.size(), 3u);
    EXPECT_EQ(answers[0].headers[1], "X-Quarn-Match: 12 Spam Porn 4711");
    EXPECT_EQ(answers[1].tag, "1.2");
    EXPECT_EQ(answers[1].kind, Answer::Kind::kClean);
    EXPECT_EQ(answers[2].kind, Answer::Kind::kError);
    EXPECT_EQ(answers[2].error, "Incorrect number of parameters");
    EXPECT_EQ(answers[3].tag, "1.4");
    EXPECT_EQ(answers[3].error, "Unable to open scan file (/x) (No such file or directory)");
    EXPECT_EQ(answers[4].tag, "1.5");
    EXPECT_TRUE(answers[4].headers.empty());
  }
}

TEST(AnswerReader, HoldsAnUnfinishedBlockAndSkipsStrayLines) {
  AnswerReader reader;
  reader.feed("garbage\n7 OK 0 None None 0 - Not Found\n2.9 DATA\nX-Quarn-CRC: A$0\n");
  EXPECT_FALSE(reader.next());
  EXPECT_GT(reader.pending_bytes(), 0u);
  reader.feed(".\n");
  auto answer = reader.next();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->tag, "2.9");
  EXPECT_EQ(answer->headers.size(), 1u);
}

TEST(Judge, MatchAndSpamTotal) {
  Answer answer;
  answer.kind = Answer::Kind::kData;
  answer.headers = {"X-Quarn-CRC: A$1", "x-spamdetect: ***: 3.600000 a,b"};
  Judgement j = judge(answer);
  EXPECT_FALSE(j.match);
  EXPECT_DOUBLE_EQ(j.total, 3.6);
  answer.headers.push_back("X-Quarn-Match: 1 Spam Porn 2");
  EXPECT_TRUE(judge(answer).match);

  EXPECT_DOUBLE_EQ(spam_total("X-SpamDetect: *: 1.5 x"), 1.5);
  EXPECT_DOUBLE_EQ(spam_total("X-SpamDetect: ***** 5.0"), 0.0);  // no colon: not the format
  EXPECT_DOUBLE_EQ(spam_total("X-Other: *: 9"), 0.0);
}

TEST(VerdictHeaders, ForgeableNamesAndHeaderSplit) {
  for (const char* name : {"X-Quarn-CRC", "x-quarn-match", "X-Quarn-Info", "X-SpamDetect",
                           "x-spamdetect"}) {
    EXPECT_TRUE(is_verdict_header(name)) << name;
  }
  for (const char* name : {"X-Quarn", "X-SpamDetected", "Subject", "X-Spam"}) {
    EXPECT_FALSE(is_verdict_header(name)) << name;
  }
  auto split = split_header("X-Quarn-Match:  12 Spam Porn 4711");
  ASSERT_TRUE(split);
  EXPECT_EQ(split->first, "X-Quarn-Match");
  EXPECT_EQ(split->second, "12 Spam Porn 4711");
  EXPECT_FALSE(split_header("no colon here"));
  EXPECT_FALSE(split_header(": empty name"));
}

}  // namespace
}  // namespace quarn::milter
