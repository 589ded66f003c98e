// The message model as one filter run builds it (`build`, then
// `clear`): a 5 KB plain message, a 20 KB HTML message and a 100 KB
// multipart message, with a filter naming thirty headers and
// pseudo-headers; and the average over the shared mail corpus when it is
// present. The budget for the 5 KB message is 50 microseconds.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "message/message_model.h"

namespace {

using namespace quarn;

constexpr std::string_view kNames[] = {
    "to",          "from",        "subject",    "cc",           "date",
    "message-id",  "received",    "reply-to",   "x-mailer",     "content-type",
    "return-path", "sender-ip",   "recipient",  "to-addr",      "from-addr",
    "body",        "rawbody",     "urls",       "head",         "full",
    "x-priority",  "x-msmail-priority", "mime-version", "organization", "user-agent",
    "list-id",     "precedence",  "x-originating-ip", "errors-to", "x-spam-status",
};

std::string headers(const std::string& content_type) {
  std::string text =
      "Return-Path: <bounce-123@lists.example.com>\n"
      "Received: from mail.example.com (mail.example.com [192.0.2.10])\n"
      "\tby mx.example.org (8.12.8/8.12.8) with ESMTP id h7PA0001234\n"
      "\tfor <someone@example.org>; Mon, 25 Aug 2003 10:00:00 +0000\n"
      "Received: from localhost (localhost [127.0.0.1])\n"
      "\tby mail.example.com (Postfix) with ESMTP id 4A2B3C\n"
      "\tfor <someone@example.org>; Mon, 25 Aug 2003 09:59:58 +0000\n"
      "From: \"Sender Name\" <sender@example.com>\n"
      "To: \"Someone\" <someone@example.org>\n"
      "Subject: benchmark message for the message model\n"
      "Date: Mon, 25 Aug 2003 10:00:00 +0000\n"
      "Message-ID: <20030825100000.1234@example.com>\n"
      "X-Mailer: Bench Mailer 1.0\n"
      "MIME-Version: 1.0\n"
      "Content-Type: ";
  return text + content_type + "\n\n";
}

std::string plain_message(std::size_t size) {
  std::string message = headers("text/plain; charset=us-ascii");
  while (message.size() < size) {
    message += "Dear friend, this is a line of ordinary text with a link http://example.com/p\n";
  }
  return message;
}

std::string html_message(std::size_t size) {
  static const char* const kPieces[] = {
      "<p>Limited  offer \n\t\t for   you</p>\r\n",
      "   <td>  <a href=\"http://example.com/x\">  <img src=\"a.gif\">  </a>  </td>\n",
      "<!-- filler -->    \n\n\n     ",
      "plain words between tags   and   more    words\n",
      "<table width=\"100%\">\n  <tr>\n    <td>\n      cell\n    </td>\n  </tr>\n</table >\n",
  };
  std::string message = headers("text/html");
  for (std::size_t i = 0; message.size() < size; ++i) message += kPieces[i % std::size(kPieces)];
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

struct Setup {
  Setup() : names(std::begin(kNames), std::end(kNames)) {
    model.set_return_path("<envelope@example.net>");
    model.set_sender_ip("192.0.2.7");
    model.set_recipient("someone@example.org");
  }
  void run(std::string_view message) {
    model.build(message, decoded, urls, names);
    model.clear();
  }

  std::vector<std::string> names;
  MessageModel model;
  std::vector<char> decoded = std::vector<char>(MessageModel::kDecodedSize);
  std::string urls;
};

void process(benchmark::State& state, const std::string& message) {
  Setup setup;
  for (auto _ : state) setup.run(message);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

void model_plain_5k(benchmark::State& state) { process(state, plain_message(5 * 1024)); }
void model_html_20k(benchmark::State& state) { process(state, html_message(20 * 1024)); }
void model_multipart_100k(benchmark::State& state) {
  process(state, multipart_message(100 * 1024));
}
BENCHMARK(model_plain_5k);
BENCHMARK(model_html_20k);
BENCHMARK(model_multipart_100k);

// Time per message over the whole corpus (skipped without it).
void model_corpus_per_message(benchmark::State& state) {
  namespace fs = std::filesystem;
  const char* env = std::getenv("QUARN_CORPUS_DIR");
  const fs::path dir = env != nullptr && *env != '\0'
                           ? fs::path(env)
                           : fs::path(QUARN_SOURCE_DIR) / ".." / "shared" / "corpus";
  std::vector<std::string> messages;
  if (fs::is_directory(dir)) {
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      messages.push_back(text.str());
    }
  }
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  Setup setup;
  std::size_t next = 0;
  for (auto _ : state) {
    setup.run(messages[next]);
    next = (next + 1) % messages.size();
  }
}
BENCHMARK(model_corpus_per_message);

}  // namespace
