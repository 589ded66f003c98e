// Every message of the shared mail corpus through the walk, the URL scan and
// both strips: the linear strip must equal the reference byte for byte, and
// the decoded text must respect its bounds. The corpus lives beside the
// repository (../shared/corpus, or QUARN_CORPUS_DIR); without it the test is
// skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "message/mime_walk.h"
#include "message/url_scan.h"
#include "tests/message/message_testing.h"
#include "tests/testing/corpus.h"
#include "tests/testing/temp_dir.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

TEST(Corpus, LinearStripEqualsReferenceOnEveryMessage) {
  const auto files = testing::corpus_files();
  if (files.empty()) GTEST_SKIP() << "no mail corpus at " << testing::corpus_dir();
  int messages = 0;
  int html_messages = 0;
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    const auto decoded = testing::decode_message(testing::read_file(path.string()));
    ASSERT_LT(decoded.text.size(), kDecodedHardLimit);
    ASSERT_EQ(decoded.text.find('\0'), std::string::npos);
    std::string urls;
    rf_scan_urls(decoded.text, urls);
    ASSERT_LE(urls.size(), kUrlTextLimit + kUrlMaxLength + 2);
    for (int html : {0, 1}) {
      const auto expected = testing::strip_html_reference(decoded.text, html);
      const auto actual = testing::strip_html_linear(decoded.text, html);
      ASSERT_EQ(actual.visible, expected.visible) << "html=" << html;
      ASSERT_EQ(actual.stats, expected.stats) << "html=" << html;
    }
    ++messages;
    html_messages += decoded.top_html;
  }
  EXPECT_GT(messages, 1000);
  EXPECT_GT(html_messages, 10);
}

}  // namespace
}  // namespace quarn
