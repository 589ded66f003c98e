// The per-message files the engine scans: the message as it travels over
// SMTP, and its envelope.
//
// Message file: every header line as the mail server reported it, in the
// order received, with the name's letter case kept, then an empty line and
// the body. Every line ends in CR LF, because the message's signature is
// taken over those bytes: a message stored with bare LF line ends gets a
// different signature. Postfix hands a folded header value over with a bare
// LF inside it (and the body already in CR LF form); both become CR LF here.
// When the mail server keeps the blank after the colon in header values, the
// value is written as given ("Name:" + value); otherwise the one blank it
// stripped is put back ("Name: " + value).
//
// Envelope file: one "To: <address>" line per recipient, in the order given,
// then "From: <address>", "Ip: <client address>" and an empty line. Values
// never carry CR or LF (they would start new envelope lines).
//
// `SpoolFile` writes one message incrementally (headers, then body chunks)
// and removes both of its files when it is destroyed. One per message, used
// by the thread of that message's connection.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/file.h"

namespace quarn::milter {

struct Envelope {
  std::string from;
  std::vector<std::string> recipients;
  std::string client_ip;
};

// One header line in CR LF form ("Name: value\r\n"); folding kept.
std::string spool_header(std::string_view name, std::string_view value, bool value_has_blank);
// The envelope file's text.
std::string envelope_text(const Envelope& envelope);

// Turns bare LF into CR LF across a stream cut into chunks.
class CrlfWriter {
 public:
  // Appends `chunk` to `out` with every LF not preceded by CR made CR LF.
  void convert(std::string_view chunk, std::string& out);

 private:
  bool last_cr_ = false;
};

class SpoolFile {
 public:
  // Creates "<dir>/<name>.eml" for writing; check ok() afterwards.
  SpoolFile(const std::filesystem::path& dir, const std::string& name);
  ~SpoolFile();
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::filesystem::path& message_path() const { return message_path_; }
  const std::filesystem::path& envelope_path() const { return envelope_path_; }

  void add_header(std::string_view name, std::string_view value, bool value_has_blank);
  // Ends the headers with the empty line (once; body() calls it too).
  void end_headers();
  void body(std::string_view chunk);
  // Flushes the message and writes the envelope file; false on any failure.
  bool finish(const Envelope& envelope);

 private:
  void write(std::string_view bytes);
  void fail(const std::string& what);

  std::filesystem::path message_path_;
  std::filesystem::path envelope_path_;
  FilePtr file_;
  CrlfWriter body_crlf_;
  std::string scratch_;
  bool headers_done_ = false;
  bool ok_ = true;
  std::string error_;
};

}  // namespace quarn::milter
