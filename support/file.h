// Files the engine reads and writes by name in its working directory.
//
// `FilePtr` owns a C stream. `read_line` reads one line the way the engine's
// line reads were specified: at most size - 1 characters per read (a longer
// line arrives in pieces), the LF kept when it fits, and, for files opened in
// text mode (the settings file, the rules files, the database file), a CR
// directly before an LF dropped as a text-mode stream drops it. Message,
// envelope and scan files are bytes and are read whole.
//
// Replacement of a file is atomic: write a new file, `commit_file` it (flush,
// fsync, close), then `rename` it over the old one, so a crash leaves either
// the old or the new file on disk, never none.
//
// Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quarn {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept;
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// fopen with close-on-exec, so child processes never inherit the stream.
FilePtr open_file(const std::string& path, const char* mode);

// An open file descriptor that closes itself; -1 holds nothing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release();
  // Closes the descriptor held (if any) and holds `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Size, modification time and kind of a file.
struct FileStat {
  std::int64_t size = 0;
  std::time_t mtime = 0;
  bool is_regular = false;
};

// Opens a file for reading when it is a regular file. Opening never waits
// (a FIFO without a writer would otherwise hold the caller), and a FIFO,
// device, socket or directory is refused at once. An empty descriptor with
// `reason` set (the system's text, or "Not a regular file") on refusal.
// `stat`, when given, receives the opened file's size and time.
UniqueFd open_regular(const std::string& path, std::string& reason, FileStat* stat = nullptr);

// Reads up to `size` bytes of an open descriptor into `buffer`, going on
// after interruptions and short reads; returns how many arrived (fewer at
// end of file or on a read error).
std::int64_t read_fully(int fd, char* buffer, std::int64_t size);

// Writes all of `bytes` to an open descriptor, going on after
// interruptions and short writes; false when a write fails.
bool write_fully(int fd, std::string_view bytes);

enum class LineMode { kBinary, kText };

// Reads the next line (or piece of a line) into `line`. Returns false at end
// of file or on a read error, with `line` empty.
bool read_line(std::FILE* f, std::string& line, std::size_t size, LineMode mode);

// The whole of a file's bytes, or nothing with the reason in `error` (the
// system's text when it cannot be opened, "read error" when a read fails).
std::optional<std::string> read_whole_file(const std::string& path, std::string& error);

// Size and modification time of a path, or nothing when it cannot be examined.
std::optional<FileStat> stat_file(const std::string& path);

// Flushes the stream to disk and closes it; false when any step failed.
bool commit_file(FilePtr file);

// Makes a line-journal safe to append to: a last line cut by a crash or a
// full disk (no LF at its end) is ended with an LF, or, when even that byte
// cannot be written, cut away back to the last LF. True when the file ends
// in an LF, is empty or does not exist; false when it could not be mended.
bool end_cut_line(const std::string& path);

// Removes a file (never a directory); true on success.
bool remove_file(const std::string& path);

// Renames `from` over `to`; true on success.
bool rename_file(const std::string& from, const std::string& to);

// Sets a file's access and modification times.
bool touch_file(const std::string& path, std::time_t when);

// The system's text for an errno value.
std::string system_error_text(int err);

}  // namespace quarn
