// The database file on arbitrary contents: loading never fails, and a
// rewrite followed by a second load gives exactly the records of the first.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>

#include "support/file.h"
#include "update/db_file.h"

using namespace quarn;

namespace {

using Snapshot = std::map<std::int32_t, std::tuple<int, int, int, int, PartCrcs>>;

struct World {
  World(Log& log, Settings& settings, const std::string& dir)
      : db(log, 97),
        commands(db, settings, log, state,
                 UpdateCommandOptions{true, 100, [] { return std::int64_t{1700000000}; }}),
        file(commands, DbFileOptions{dir, {}, 1}) {}

  Snapshot snapshot() const {
    Snapshot all;
    db.for_each_message([&](const MessageRecord& r) {
      all[r.id] = {r.count, r.other_count, r.status, r.type, r.crc};
    });
    return all;
  }

  SignatureDb db;
  UpdateState state;
  UpdateCommands commands;
  DbFile file;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  static Log log(sink);
  static Settings settings(log, SettingsOptions{.path = "/nonexistent/quarncrc.ini"});
  static const bool loaded = settings.init() == 1;
  (void)loaded;
  // Memory-backed when possible: every rewrite flushes its file to disk.
  // Never destroyed, so the exit-time cleanup can still read it.
  static const std::string& dir = *new std::string([] {
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string d = base / ("fuzz_db_file_" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    return d;
  }());
  {
    FilePtr f = open_file(dir + "/" + kDbFile, "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f.get());
  }
  World first(log, settings, dir);
  first.file.open_db();
  if (first.file.rewrite_db() != 1) std::abort();
  World second(log, settings, dir);
  second.file.open_db();
  if (first.snapshot() != second.snapshot()) std::abort();
  return 0;
}
