// Golden files: whole messages through the walk, the URL scan and the strip
// (tests/data/mime), and HTML texts through the strip (tests/data/html).
//
// tests/data/mime/NAME.eml gives NAME.decoded, NAME.urls, NAME.visible and
// NAME.stats; tests/data/html/NAME.html gives NAME.visible and NAME.stats,
// stripped in HTML mode unless NAME starts with "plain-". Set
// QUARN_UPDATE_GOLDEN=1 to rewrite the expected files from the code, then
// review every change by hand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "message/url_scan.h"
#include "support/text.h"
#include "tests/message/message_testing.h"
#include "tests/testing/temp_dir.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::write_file;

bool updating() {
  const char* value = std::getenv("QUARN_UPDATE_GOLDEN");
  return value != nullptr && *value != '\0' && *value != '0';
}

std::string stats_text(const HtmlStats& stats, const testing::DecodedMessage* walk) {
  std::string text;
  if (walk != nullptr) {
    text += lprintf(kLineSize, "top_html %d\nfirst_text_base64 %d\n", walk->top_html,
                    walk->first_text_base64);
  }
  text += lprintf(kLineSize, "comment_score %d\nsuspicious_images %d\nletters %d\ncapitals %d\n",
                  stats.comment_score, stats.suspicious_images, stats.letters, stats.capitals);
  return text;
}

void compare(const fs::path& input, const std::string& extension, const std::string& actual) {
  fs::path expected_path = input;
  expected_path.replace_extension(extension);
  if (updating()) {
    write_file(expected_path.string(), actual);
    return;
  }
  ASSERT_TRUE(fs::exists(expected_path)) << expected_path;
  EXPECT_EQ(actual, read_file(expected_path.string())) << expected_path;
}

std::vector<fs::path> inputs(const std::string& folder, const std::string& extension) {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(fs::path(QUARN_SOURCE_DIR) / folder)) {
    if (entry.path().extension() == extension) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(Golden, MessagesDecodeScanAndStrip) {
  const auto paths = inputs("tests/data/mime", ".eml");
  ASSERT_GE(paths.size(), 6u);
  for (const auto& path : paths) {
    SCOPED_TRACE(path.string());
    const auto decoded = testing::decode_message(read_file(path.string()));
    std::string urls;
    rf_scan_urls(decoded.text, urls);
    const auto stripped = testing::strip_html_linear(decoded.text, decoded.top_html);
    const auto reference = testing::strip_html_reference(decoded.text, decoded.top_html);
    EXPECT_EQ(stripped.visible, reference.visible);
    EXPECT_EQ(stripped.stats, reference.stats);
    compare(path, ".decoded", decoded.text);
    compare(path, ".urls", urls);
    compare(path, ".visible", stripped.visible);
    compare(path, ".stats", stats_text(stripped.stats, &decoded));
  }
}

TEST(Golden, HtmlStrips) {
  const auto paths = inputs("tests/data/html", ".html");
  ASSERT_GE(paths.size(), 4u);
  for (const auto& path : paths) {
    SCOPED_TRACE(path.string());
    const int html = path.filename().string().starts_with("plain-") ? 0 : 1;
    const std::string text = read_file(path.string());
    const auto stripped = testing::strip_html_linear(text, html);
    const auto reference = testing::strip_html_reference(text, html);
    EXPECT_EQ(stripped.visible, reference.visible);
    EXPECT_EQ(stripped.stats, reference.stats);
    compare(path, ".visible", stripped.visible);
    compare(path, ".stats", stats_text(stripped.stats, nullptr));
  }
}

}  // namespace
}  // namespace quarn
