#include "milter/spool.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "support/file.h"

namespace quarn::milter {

namespace {

// Envelope values end at their first CR or LF.
std::string_view one_line(std::string_view value) {
  return value.substr(0, value.find_first_of("\r\n"));
}

}  // namespace

void CrlfWriter::convert(std::string_view chunk, std::string& out) {
  for (char c : chunk) {
    if (c == '\n' && !last_cr_) out.push_back('\r');
    out.push_back(c);
    last_cr_ = c == '\r';
  }
}

std::string spool_header(std::string_view name, std::string_view value, bool value_has_blank) {
  std::string line(name);
  line += value_has_blank ? ":" : ": ";
  CrlfWriter crlf;
  crlf.convert(value, line);
  line += "\r\n";
  return line;
}

std::string envelope_text(const Envelope& envelope) {
  std::string text;
  for (const std::string& to : envelope.recipients) {
    text += "To: ";
    text += one_line(to);
    text += '\n';
  }
  text += "From: ";
  text += one_line(envelope.from);
  text += "\nIp: ";
  text += one_line(envelope.client_ip);
  text += "\n\n";
  return text;
}

SpoolFile::SpoolFile(const std::filesystem::path& dir, const std::string& name)
    : message_path_(dir / (name + ".eml")), envelope_path_(dir / (name + ".env")) {
  UniqueFd fd(::open(message_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) {
    fail("cannot create " + message_path_.string());
    return;
  }
  file_.reset(::fdopen(fd.get(), "wb"));
  if (!file_) {
    fail("cannot open " + message_path_.string());
    return;
  }
  fd.release();  // the stream owns it now
}

SpoolFile::~SpoolFile() {
  file_.reset();
  ::unlink(message_path_.c_str());
  ::unlink(envelope_path_.c_str());
}

void SpoolFile::fail(const std::string& what) {
  if (ok_) error_ = what + ": " + std::strerror(errno);
  ok_ = false;
}

void SpoolFile::write(std::string_view bytes) {
  if (!ok_ || !file_) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) {
    fail("cannot write " + message_path_.string());
  }
}

void SpoolFile::add_header(std::string_view name, std::string_view value, bool value_has_blank) {
  write(spool_header(name, value, value_has_blank));
}

void SpoolFile::end_headers() {
  if (headers_done_) return;
  headers_done_ = true;
  write("\r\n");
}

void SpoolFile::body(std::string_view chunk) {
  end_headers();
  scratch_.clear();
  body_crlf_.convert(chunk, scratch_);
  write(scratch_);
}

bool SpoolFile::finish(const Envelope& envelope) {
  end_headers();
  if (!ok_) return false;
  if (std::fflush(file_.get()) != 0) {
    fail("cannot write " + message_path_.string());
    return false;
  }
  std::string text = envelope_text(envelope);
  const UniqueFd fd(::open(envelope_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) {
    fail("cannot create " + envelope_path_.string());
    return false;
  }
  if (!write_fully(fd.get(), text)) {
    fail("cannot write " + envelope_path_.string());
    return false;
  }
  return true;
}

}  // namespace quarn::milter
