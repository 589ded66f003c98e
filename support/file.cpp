#include "support/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>

namespace quarn {

void FileCloser::operator()(std::FILE* f) const noexcept {
  if (f != nullptr) std::fclose(f);
}

FilePtr open_file(const std::string& path, const char* mode) {
  std::string with_cloexec = std::string(mode) + "e";
  return FilePtr(std::fopen(path.c_str(), with_cloexec.c_str()));
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
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
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
  ::close(fd);
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
