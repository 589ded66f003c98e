// The message codecs on synthetic messages of the sizes a scan meets: the
// HTML strip on 100 KB of white-space-heavy HTML (linear against the direct
// quadratic reference), the MIME walk on a 5 KB plain, a 20 KB HTML and a
// 100 KB multipart message, and the whole decode (walk, URL scan, strip) on
// the 5 KB message, the budget of which is a few tens of microseconds.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "message/html_strip.h"
#include "message/mime_walk.h"
#include "message/url_scan.h"
#include "tests/message/message_testing.h"

namespace {

using namespace quarn;

std::string whitespace_heavy_html(std::size_t size) {
  static const char* const kPieces[] = {
      "<p>Limited  offer \n\t\t for   you</p>\r\n",
      "   <td>  <a href=\"http://example.com/x\">  <img src=\"a.gif\">  </a>  </td>\n",
      "<!-- filler -->    \n\n\n     ",
      "plain words between tags   and   more    words\n",
      "<table width=\"100%\">\n  <tr>\n    <td>\n      cell\n    </td>\n  </tr>\n</table >\n",
  };
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) text += kPieces[i % std::size(kPieces)];
  text.resize(size);
  return text;
}

std::string headers(const std::string& content_type) {
  return "From: sender@example.com\nTo: someone@example.org\nSubject: benchmark message\n"
         "Date: Mon, 25 Aug 2003 10:00:00 +0000\nMessage-ID: <1@example.com>\n"
         "MIME-Version: 1.0\nContent-Type: " +
         content_type + "\n\n";
}

std::string plain_message(std::size_t size) {
  std::string message = headers("text/plain; charset=us-ascii");
  while (message.size() < size) {
    message += "Dear friend, this is a line of ordinary text with a link http://example.com/p\n";
  }
  return message;
}

std::string html_message(std::size_t size) {
  std::string message = headers("text/html");
  message += whitespace_heavy_html(size - message.size());
  return message + "\n";
}

std::string multipart_message(std::size_t size) {
  std::string message = headers("multipart/mixed; boundary=\"==b1\"");
  message += "--==b1\nContent-Type: multipart/alternative; boundary=\"==b2\"\n\n"
             "--==b2\nContent-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\n";
  for (int i = 0; i < 40; ++i) message += "Caf=E9 text with a soft=\n break and =3D signs\n";
  message += "--==b2\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n\n";
  for (int i = 0; i < 60; ++i) {
    message += "PHA+TGltaXRlZCAgb2ZmZXIgCgkJIGZvciAgIHlvdTwvcD4NCiAgIDx0ZD4gIDxhIGhyZWY9\n";
  }
  message += "--==b2--\n--==b1\nContent-Type: application/octet-stream\n"
             "Content-Transfer-Encoding: base64\n\n";
  while (message.size() < size - 10) {
    message += "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEy\n";
  }
  return message + "--==b1--\n";
}

void strip_linear(benchmark::State& state) {
  const std::string text = whitespace_heavy_html(100 * 1024);
  std::vector<char> buffer(text.size() + 1);
  HtmlStats stats;
  for (auto _ : state) {
    std::copy(text.begin(), text.end(), buffer.begin());
    benchmark::DoNotOptimize(rf_strip_html(buffer, text.size(), 1, stats));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(strip_linear);

void strip_quadratic_reference(benchmark::State& state) {
  const std::string text = whitespace_heavy_html(100 * 1024);
  for (auto _ : state) {
    benchmark::DoNotOptimize(testing::strip_html_reference(text, 1));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(strip_quadratic_reference)->Unit(benchmark::kMillisecond);

void walk(benchmark::State& state, const std::string& message) {
  std::vector<char> out(kDecodedSize);
  for (auto _ : state) {
    auto decoder = std::make_unique<MimeWalk>(out);
    std::size_t position = 0;
    rf_create_decoded(message, position, 0, *decoder);
    benchmark::DoNotOptimize(decoder->decoded_total);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

void walk_plain_5k(benchmark::State& state) { walk(state, plain_message(5 * 1024)); }
void walk_html_20k(benchmark::State& state) { walk(state, html_message(20 * 1024)); }
void walk_multipart_100k(benchmark::State& state) { walk(state, multipart_message(100 * 1024)); }
BENCHMARK(walk_plain_5k);
BENCHMARK(walk_html_20k);
BENCHMARK(walk_multipart_100k);

// Walk, URL scan and strip of one message, as the message model runs them.
void decode_all(benchmark::State& state, const std::string& message) {
  std::vector<char> out(kDecodedSize);
  std::string urls;
  HtmlStats stats;
  for (auto _ : state) {
    auto decoder = std::make_unique<MimeWalk>(out);
    std::size_t position = 0;
    rf_create_decoded(message, position, 0, *decoder);
    rf_scan_urls(decoder->decoded(), urls);
    benchmark::DoNotOptimize(
        rf_strip_html(out, decoder->decoded_total, decoder->top_html, stats));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

void decode_all_plain_5k(benchmark::State& state) { decode_all(state, plain_message(5 * 1024)); }
void decode_all_html_20k(benchmark::State& state) { decode_all(state, html_message(20 * 1024)); }
BENCHMARK(decode_all_plain_5k);
BENCHMARK(decode_all_html_20k);

}  // namespace
