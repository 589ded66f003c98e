#include "support/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace quarn {

void FileCloser::operator()(std::FILE* f) const noexcept {
  if (f != nullptr) std::fclose(f);
}

FilePtr open_file(const std::string& path, const char* mode) {
  std::string with_cloexec = std::string(mode) + "e";
  return FilePtr(std::fopen(path.c_str(), with_cloexec.c_str()));
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

UniqueFd open_regular(const std::string& path, std::string& reason, FileStat* stat) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    reason = system_error_text(errno);
    return fd;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = S_ISDIR(st.st_mode) ? system_error_text(EISDIR) : "Not a regular file";
    fd.reset();
  } else if (stat != nullptr) {
    *stat = FileStat{static_cast<std::int64_t>(st.st_size), st.st_mtime, true};
  }
  return fd;
}

std::int64_t read_fully(int fd, char* buffer, std::int64_t size) {
  std::int64_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, buffer + got, static_cast<std::size_t>(size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  return got;
}

bool write_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool read_line(std::FILE* f, std::string& line, std::size_t size, LineMode mode) {
  line.clear();
  if (size < 2) return false;
  const std::size_t limit = size - 1;
  // Collected in a local block and appended in pieces: a byte at a time into
  // the string costs more than the read itself on long files.
  char block[256];
  std::size_t held = 0;
  std::size_t total = 0;
  while (total < limit) {
    int c = getc_unlocked(f);
    if (c == EOF) break;
    if (c == '\r' && mode == LineMode::kText) {
      int next = getc_unlocked(f);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        ungetc(next, f);
      }
    }
    block[held++] = static_cast<char>(c);
    ++total;
    if (held == sizeof block) {
      line.append(block, held);
      held = 0;
    }
    if (c == '\n') break;
  }
  line.append(block, held);
  return !line.empty();
}

std::optional<std::string> read_whole_file(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = system_error_text(errno);
    return std::nullopt;
  }
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) {
    error = "read error";
    return std::nullopt;
  }
  return std::move(out).str();
}

std::optional<FileStat> stat_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileStat{static_cast<std::int64_t>(st.st_size), st.st_mtime, S_ISREG(st.st_mode)};
}

bool commit_file(FilePtr file) {
  if (!file) return false;
  bool ok = std::fflush(file.get()) == 0;
  ok = ::fsync(fileno(file.get())) == 0 && ok;
  ok = std::fclose(file.release()) == 0 && ok;
  return ok;
}

bool end_cut_line(const std::string& path) {
  const UniqueFd held(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!held) return errno == ENOENT;
  const int fd = held.get();
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  char last = '\n';
  if (ok && st.st_size > 0) ok = ::pread(fd, &last, 1, st.st_size - 1) == 1;
  if (ok && last != '\n') {
    ok = ::pwrite(fd, "\n", 1, st.st_size) == 1 && ::fsync(fd) == 0;
    if (!ok) {
      // No room for one byte: drop the cut line instead.
      off_t end = st.st_size;
      char c = 0;
      while (end > 0 && ::pread(fd, &c, 1, end - 1) == 1 && c != '\n') --end;
      ok = ::ftruncate(fd, end) == 0 && ::fsync(fd) == 0;
    }
  }
  return ok;
}

bool remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool rename_file(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool touch_file(const std::string& path, std::time_t when) {
  struct utimbuf times {};
  times.actime = when;
  times.modtime = when;
  return ::utime(path.c_str(), &times) == 0;
}

std::string system_error_text(int err) { return std::strerror(err); }

}  // namespace quarn
