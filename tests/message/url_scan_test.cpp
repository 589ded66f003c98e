// The URL scan and the URL decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/url_scan.h"

namespace quarn {
namespace {

using namespace std::string_literals;

std::string scan(std::string_view text) {
  std::string urls = "stale";
  rf_scan_urls(text, urls);
  return urls;
}

TEST(UrlScan, FindsAndEndsUrls) {
  const std::pair<std::string, std::string> cases[] = {
      {"see http://example.com/x now", "http://example.com/x\r\n"},
      {"https://example.com/p\tq", "https://example.com/p\r\n"},
      {"href=\"http://example.com/a b\">", "http://example.com/a b\r\n"},
      {"<http://example.com/abc>", "http://example.com/abc\r\n"},
      {"http://example.com/a\r\nhttp://example.com/b\n",
       "http://example.com/a\r\nhttp://example.com/b\r\n"},
      {"http://a.b http://a.bc", "http://a.bc\r\n"},  // 10 characters are too few
      {"HTTP://example.com/upper", ""},
      {"http://example.com/%41%42", "http://example.com/AB\r\n"},
      {"http://example.com/x%4", "http://example.com/x\r\n"},
      {"http://example.com/a%00b", "http://example.com/a b\r\n"},
      {"http://example.com/a\0http://example.com/b"s, "http://example.com/a\r\n"},
  };
  for (const auto& [text, urls] : cases) EXPECT_EQ(scan(text), urls) << text;
}

TEST(UrlScan, AfterAnHttpThatStartsNoUrlOnlyHttpColonIsSought) {
  EXPECT_EQ(scan("httpd https://y.example.com http://x.example.com"),
            "http://x.example.com\r\n");
  EXPECT_EQ(scan("httpd http://x.example.com https://y.example.com"),
            "http://x.example.com\r\nhttps://y.example.com\r\n");
}

TEST(UrlScan, BoundsUrlsAndTheList) {
  const std::string long_url = "http://example.com/" + std::string(1500, 'p');
  EXPECT_EQ(scan(long_url + " http://example.com/next"),
            long_url.substr(0, 1000) + "\r\nhttp://example.com/next\r\n");
  std::string many;
  for (int i = 0; i < 60; ++i) many += "http://example.com/" + std::string(81, 'q') + " ";
  const std::string urls = scan(many);
  EXPECT_EQ(urls.size(), 50u * 102u);  // 50 entries make 5,100: past 5,000
}

TEST(UrlDecode, StopsAtATruncatedEscapeAndAtTheBuffer) {
  std::vector<char> out(8, 'x');
  EXPECT_EQ(rf_decode_url("ab%2", out), 2u);
  EXPECT_EQ(std::string(out.data(), 3), "ab\0"s);
  EXPECT_EQ(rf_decode_url("%41%42%43%44%45%46%47%48", out), 7u);
  EXPECT_EQ(std::string(out.data(), 8), "ABCDEFG\0"s);
  EXPECT_EQ(rf_decode_url("abc", std::span<char>()), 0u);
}

}  // namespace
}  // namespace quarn
