// Signatures and FINDCRC through the real binary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "signature/msgcrc.h"
#include "signature/signature_text.h"
#include "tests/e2e/signature_of.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

// The X-Quarn-CRC value of a DATA answer.
std::string signature_of(const std::string& answer) {
  const std::string key = "\nX-Quarn-CRC: ";
  auto at = answer.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  return answer.substr(at, answer.find('\n', at) - at);
}

class SignatureE2E : public ::testing::Test {
 protected:
  void SetUp() override { dir.write("quarncrc.ini", std::string(kTestIni) + "SKIP_FILTER true\n"); }
  TempDir dir;
};

TEST_F(SignatureE2E, ScanAnswersTheSignatureOfTheMessage) {
  const std::vector<std::string> messages = {
      "From: a@example.com\r\nSubject: Buy cheap pills now\r\nReceived: from x by y with SMTP\r\n"
      "Message-ID: <1@x>\r\nTo: b@example.com\r\n\r\nline one\r\nline two\r\n",
      "From: a@example.com\nSubject: lf only\nTo: b\n\nbody\nmore body\n",
      "From: a\r\nSubject: html\r\nTo: b\r\n\r\n<html><body><b>Hi</b> <!-- > -->there</body></html>\r\n",
      "From: a\r\nSubject: no body\r\nTo: b\r\n\r\n",
      "\r\n\r\nno headers at all\r\n",
      "",
      testing::read_file(QUARN_SOURCE_DIR "/examples/messages/spam-1.eml"),
  };
  EngineProcess engine(dir.path());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const std::string name = "m" + std::to_string(i);
    dir.write(name, messages[i]);
    const std::string answer = engine.command(std::to_string(i) + " SCAN " + name + " e.env");
    const std::string signature = signature_of(answer);
    EXPECT_EQ(signature, signature_of_message(messages[i])) << answer;
    EXPECT_EQ(validatecrc(std::string_view(signature).substr(1)), 1);
    EXPECT_EQ(engine.command("f FINDCRC " + signature), "f OK 0 None None 0 - Not Found\n");
  }
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(SignatureE2E, FindcrcErrors) {
  EngineProcess engine(dir.path());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"7 FINDCRC", "7 ERROR Missing CRC data\n"},
      {"7 FINDCRC B#0$0#0#0#0$0#0#0#0", "7 ERROR Unknown rule set (requires B, current A)\n"},
      {"7 FINDCRC A$0$0#0#0#0$0#0#0#0", "7 ERROR Invalid CRC (A$0$0#0#0#0$0#0#0#0)\n"},
      {"7 FINDCRC A", "7 ERROR Incorrect CRC format\n"},
      {"7 FINDCRC A0", "7 ERROR Incorrect CRC format\n"},
      {"7 FINDCRC A#0$0#0#0#0$0#0#0#0", "7 OK 0 None None 0 - Not Found\n"},
      // Bytes above 127 count as below 'A': accepted as the rule-set letter.
      {"7 FINDCRC \xC1#0$0#0#0#0$0#0#0#0", "7 OK 0 None None 0 - Not Found\n"},
      {"7 FINDCRC 1#0$0#0#0#0$0#0#0#0", "7 OK 0 None None 0 - Not Found\n"},
  };
  for (const auto& [command, answer] : cases) EXPECT_EQ(engine.command(command), answer) << command;
  EXPECT_EQ(engine.quit(), 0);
}

TEST_F(SignatureE2E, FieldCountIsCheckedWhenInvalidCrcsAreAllowed) {
  dir.write("quarncrc.ini", std::string(kTestIni) + "SKIP_FILTER true\nALLOW_INVALID_CRCS true\n");
  EngineProcess engine(dir.path());
  EXPECT_EQ(engine.command("8 FINDCRC A$1$2$3$4$5$6$7$8"), "8 ERROR Incorrect CRC count\n");
  EXPECT_EQ(engine.command("9 FINDCRC A$1$2$3$4$5$6$7$8$9$10"), "9 OK 0 None None 0 - Not Found\n");
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_NE(read_engine_log(dir.path()).find("Info: 9 Allowing invalid CRC (A$1$2$3$4$5$6$7$8$9$10)"),
            std::string::npos);
}

}  // namespace
}  // namespace quarn::testing
