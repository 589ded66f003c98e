#include "update/db_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "support/file.h"
#include "support/line_reader.h"
#include "support/text.h"
#include "update/update_schedule.h"

namespace quarn {
namespace {

constexpr std::string_view kTimePrefix = "TIME|";

}  // namespace

DbFile::DbFile(UpdateCommands& commands, DbFileOptions options)
    : commands_(commands), options_(std::move(options)), random_(options_.seed) {
  if (!options_.do_update) options_.do_update = [] { return 0; };
}

void DbFile::set_do_update(std::function<int()> do_update) {
  options_.do_update = do_update ? std::move(do_update) : [] { return 0; };
}

std::string DbFile::path(const char* name) const {
  return options_.dir.empty() ? std::string(name) : options_.dir + "/" + name;
}

int DbFile::open_db() {
  Log& log = commands_.log();
  Settings& settings = commands_.settings();
  UpdateState& state = commands_.state();

  if (FilePtr file = open_file(path(kDbFile), "r")) {
    int applied = 0;
    {
      SignatureDb& db = commands_.db();
      // Loading into an empty database builds the value index once at the
      // end. That needs the mutex held over the whole load; when it is not
      // free at once, each line waits for it as usual instead.
      MutexHold hold(&db.mutex(), 0);
      struct IndexAtEnd {
        SignatureDb& db;
        ~IndexAtEnd() { db.index_all(); }
      } index_at_end{db};
      if (hold) db.defer_index();
      reserve_for(file.get());
      for_each_judged(file.get(), false, [&](const std::string& line, const ParsedCommand& command) {
        (void)line;
        if (commands_.run(command, false) != 0) ++applied;
      });
    }
    log.imsg("open_db - Applied %d rule%s from %s\n", applied, applied == 1 ? "" : "s", kDbFile);
  } else {
    log.imsg("Could not find existing %s\n", kDbFile);
  }

  if (!settings.is_true(IniKey::UPDATE_START)) {
    log.imsg("open_db - update_start false, skipping update\n");
    return 1;
  }
  const UpdateSchedule schedule{settings.get_int(IniKey::UPDATE_INT), kStartRetrySpread};
  const std::int64_t now = commands_.now();
  if (schedule.due(state.last_update, now)) {
    if (options_.do_update() != 0) {
      state.last_update = UpdateSchedule::after_success(now);
    } else {
      log.emsg("Update failed!, rescheduling\n");
      state.last_update = schedule.after_failure(now, random_());
    }
  }
  return 1;
}

template <class Judged>
void DbFile::for_each_judged(std::FILE* file, bool check_only, Judged&& judged) {
  // Lines are parsed a few ahead of their use, so that the memory the
  // database will touch for them is on its way by then. Parsing is pure and
  // each line is logged and applied in file order, so the outcome is that
  // of one line at a time.
  constexpr std::size_t kAhead = 8;
  struct Pending {
    std::string line;
    ParsedCommand command;
  };
  std::array<Pending, kAhead> ring;
  std::size_t read = 0;
  std::size_t done = 0;
  const auto finish_one = [&] {
    Pending& oldest = ring[done++ % kAhead];
    judged(oldest.line, oldest.command);
  };
  CommandRules rules = commands_.rules();
  LineReader lines(file, kLineSize, LineMode::kText);
  for (;;) {
    Pending& next = ring[read % kAhead];
    if (!lines.next(next.line)) break;
    // The rewrite keeps no TIME line: it writes a fresh one.
    if (check_only && next.line.starts_with(kTimePrefix)) continue;
    commands_.restamp(rules);
    next.command = parse_update_command(next.line, rules);
    commands_.prefetch(next.command, check_only);
    ++read;
    if (read - done > kAhead / 2) {
      const Pending& middle = ring[(read - 1 - kAhead / 2) % kAhead];
      commands_.prefetch_keys(middle.command, check_only);
    }
    if (read - done == kAhead) finish_one();
  }
  while (done < read) finish_one();
}

void DbFile::reserve_for(std::FILE* file) {
  // Room for a record per line, made once instead of growing on the way.
  std::size_t lines = 0;
  std::vector<char> block(1 << 20);
  for (std::size_t n; (n = std::fread(block.data(), 1, block.size(), file)) > 0;) {
    const char* at = block.data();
    const char* const end = at + n;
    while ((at = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)))) != nullptr) {
      ++lines;
      ++at;
    }
  }
  std::rewind(file);
  SignatureDb& db = commands_.db();
  MutexHold hold(&db.mutex(), kUpdateWaitMs);
  if (!hold) return;
  try {
    db.reserve(db.message_count() + lines + 1);
  } catch (const std::bad_alloc&) {
    // The tables grow as records come instead.
  }
}

int DbFile::rewrite_db() {
  Log& log = commands_.log();
  UpdateState& state = commands_.state();
  const std::string new_path = path(kDbNewFile);
  const std::string db_path = path(kDbFile);

  FilePtr out = open_file(new_path, "w");
  if (!out) {
    log.emsg("do_update - Could not open new database (write)\n");
    return 0;
  }
  FilePtr in = open_file(db_path, "r");
  if (!in) {
    log.emsg("do_update - Could not open database (read)\n");
    out.reset();
    remove_file(new_path);
    return 0;
  }

  for_each_judged(in.get(), true, [&](const std::string& line, const ParsedCommand& command) {
    int dropped = 0;
    if (commands_.run(command, true, &dropped) != 0) {
      std::fwrite(line.data(), 1, line.size(), out.get());
      // A kept line without its own line end (the file's last line, or a
      // piece of an over-long line) must not run into the next one; a
      // separator before the added line end keeps the line end out of its
      // last field, so the line reads back as it was judged.
      if (line.back() != '\n') {
        const bool separated = line.back() == '|' || line.back() == '~';
        std::fputs(separated ? "\n" : "|\n", out.get());
      }
    } else if (dropped != 0) {
      log.dmsg("do_update - Removed outdated command (%s)\n", std::string(stripcrlf(line)).c_str());
    } else {
      log.emsg("do_update - Validation failed, removed command (%s)\n",
               std::string(stripcrlf(line)).c_str());
    }
  });
  in.reset();

  std::fprintf(out.get(), "TIME|%d %d %d\n", static_cast<int>(state.position),
               static_cast<int>(commands_.now()), static_cast<int>(state.filter_time));
  const bool written = std::ferror(out.get()) == 0;
  if (!commit_file(std::move(out)) || !written) {
    log.emsg("do_update - Could not write new database, the database on disk is not up to date\n");
    remove_file(new_path);
    return 1;
  }
  // rename replaces quarncrc.db in one step: there is no moment without it.
  if (!rename_file(new_path, db_path)) {
    log.emsg("do_update - Could not rename database, the database on disk is not up to date\n");
  }
  return 1;
}

}  // namespace quarn
