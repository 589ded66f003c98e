// The response block's bounds and the status file's layout.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "engine/response.h"
#include "engine/status.h"

namespace quarn {
namespace {

TEST(ResponseBlock, CutAnswersKeepTheirLineEnd) {
  ResponseBlock r;
  r.set("1 ERROR short\n");
  EXPECT_EQ(r.text(), "1 ERROR short\n");
  r.set(std::string(1200, 'x') + "\n");
  EXPECT_EQ(r.text().size(), 999u);
  EXPECT_EQ(r.text().back(), '\n');
  r.set(std::string(998, 'y') + "\n");  // exactly the limit: untouched
  EXPECT_EQ(r.text(), std::string(998, 'y') + "\n");
  r.set("1 ERROR Incorrect number of parameters\n\n");
  EXPECT_EQ(r.text(), "1 ERROR Incorrect number of parameters\n\n");
}

TEST(ResponseBlock, DataBlockHeadersFitWholeOrNotAtAll) {
  ResponseBlock r;
  r.append("7 DATA\n");
  EXPECT_TRUE(r.add_header("X-Quarn-CRC: A#0"));
  EXPECT_FALSE(r.add_header(std::string(990, 'h')));
  // Room for the terminator is kept to the last character.
  const std::size_t room = ResponseBlock::kLimit - r.text().size() - 2 - 1;
  EXPECT_FALSE(r.add_header(std::string(room + 1, 'a')));
  EXPECT_TRUE(r.add_header(std::string(room, 'a')));
  r.finish_data();
  EXPECT_EQ(r.text().size(), ResponseBlock::kLimit);
  EXPECT_EQ(r.text().substr(r.text().size() - 4), "a\n.\n");
}

TEST(StatusFile, PercentagesUse64BitArithmetic) {
  EXPECT_EQ(status_percent(0, 0), 0);
  EXPECT_EQ(status_percent(1, 3), 33);
  EXPECT_EQ(status_percent(2, 3), 66);
  // 30 million scans would overflow count * 100 in 32 bits.
  EXPECT_EQ(status_percent(30000000, 30000000), 100);
  EXPECT_EQ(status_percent(INT_MAX, INT_MAX), 100);
}

TEST(StatusFile, Layout) {
  Counters c;
  c.spam = 1;
  c.scanned = 4;
  c.matched = 2;
  c.partial = 3;
  c.late_checked = 8;
  c.late_matched = 1;
  c.late_partial = 7;
  // 1061164800 is 2003-08-18 00:00:00 UTC.
  EXPECT_EQ(format_status(c, 1061164800, "Warning - Filter is 30 days old"),
            "Binary\tAug 25 2003\n"
            "Filter\tAug 18 2003\n"
            "Spam (3 or higher)\t1 (25%)\n"
            "CRC Scanned\t4\n"
            "CRC Matched\t2 (50%)\n"
            "CRC Partial Match\t3 (75%)\n"
            "CRC Late Checked\t8\n"
            "CRC Late Matched\t1 (12%)\n"
            "CRC Late Partial Match\t7 (87%)\n"
            "Filter Error\tWarning - Filter is 30 days old\n");
}

}  // namespace
}  // namespace quarn
