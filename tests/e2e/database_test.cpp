// The signature database through the real binary: UDCMD lines, the database
// file at start, and the matches SCAN and FINDCRC report.
#include <gtest/gtest.h>

#include <string>

#include "signature/msgcrc.h"
#include "signature/signature_text.h"
#include "tests/e2e/signature_of.h"
#include "tests/testing/engine_process.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

constexpr std::string_view kSpam =
    "From: Promo <promo@example.net>\r\nSubject: Cheap watches for you\r\n"
    "Received: from relay (relay [192.0.2.1]) by mx with SMTP id 123\r\n"
    "Message-ID: <abc@example.net>\r\nTo: you@example.com\r\n\r\n"
    "Buy our watches today.\r\nThey are cheap.\r\nReally cheap.\r\n";

class DatabaseE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("quarncrc.ini", std::string(kTestIni) + "SKIP_FILTER true\n");
    dir.write("spam.eml", kSpam);
  }
  TempDir dir;
};

TEST_F(DatabaseE2E, UdcmdLinesFillTheDatabaseInMemory) {
  const std::string sig = signature_of_message(kSpam);
  EngineProcess engine(dir.path());
  engine.send("UDCMD SET|4711|1000|12|0|2|1|" + sig);
  const std::string answer = engine.command("1 SCAN spam.eml e.env");
  EXPECT_NE(answer.find("\nX-Quarn-Match: 12 Spam Porn 4711\n"), std::string::npos) << answer;
  EXPECT_EQ(engine.command("2 FINDCRC " + sig),
            "2 OK 12 Spam Porn 4711 - CRC matched (Score: 17/8 matching 5)\n");

  engine.send("UDCMD DEL|4711");
  EXPECT_EQ(engine.command("3 FINDCRC " + sig), "3 OK 0 None None 0 - Not Found\n");
  EXPECT_EQ(engine.command("4 SCAN spam.eml e.env").find("X-Quarn-Match"), std::string::npos);
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_NE(engine.stderr_text().find("Finished - Database contains 0 messages\n"),
            std::string::npos);
  EXPECT_FALSE(dir.exists("quarncrc.db"));  // UDCMD changes memory only
}

TEST_F(DatabaseE2E, DatabaseFileIsLoadedAtStart) {
  const std::string sig = signature_of_message(kSpam);
  dir.write("quarncrc.db", "SET|7|1000|3|0|7|9|" + sig + "|\r\nTIME|55 66 1061164800\n");
  EngineProcess engine(dir.path());
  // Status 7 and type 9 have no names.
  EXPECT_EQ(engine.command("1 FINDCRC " + sig),
            "1 OK 3   7 - CRC matched (Score: 17/8 matching 5)\n");
  EXPECT_EQ(engine.quit(), 0);
  EXPECT_NE(engine.stderr_text().find("Finished - Database contains 1 message\n"),
            std::string::npos);
  EXPECT_NE(read_engine_log(dir.path()).find("open_db - Applied 2 rules from quarncrc.db\n"),
            std::string::npos);
  EXPECT_NE(dir.read("quarncrc.status").find("Filter\tAug 18 2003\n"), std::string::npos);
}

}  // namespace
}  // namespace quarn::testing
