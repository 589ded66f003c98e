// Update commands on arbitrary lines: each input is split into lines and
// applied to a fresh database (the first byte picks check-only mode for
// odd lines); after every line each record must have exactly its nine index
// entries.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "update/update_commands.h"

using namespace quarn;

namespace {

void check_index(const SignatureDb& db) {
  if (db.crc_entry_count() != db.message_count() * kPartCount) std::abort();
  db.for_each_message([&](const MessageRecord& r) {
    for (int p = 0; p < kPartCount; ++p) {
      bool found = false;
      db.for_each_with(p, r.crc[p], [&](RecordRef ref) { found = found || &db.record(ref) == &r; });
      if (!found) std::abort();
    }
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  static Log log(sink);
  static Settings settings(log, SettingsOptions{.path = "/nonexistent/quarncrc.ini"});
  static const bool loaded = settings.init() == 1;
  (void)loaded;
  if (size == 0) return 0;

  SignatureDb db(log, 97);
  UpdateState state;
  UpdateCommands commands(db, settings, log, state,
                          UpdateCommandOptions{(data[0] & 2) != 0, 100, [] { return std::int64_t{1700000000}; }});
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (int n = 0; !rest.empty(); ++n) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end == std::string_view::npos ? rest.size() : end + 1);
    rest.remove_prefix(line.size());
    const bool check_only = (data[0] & 1) != 0 && n % 2 == 1;
    int dropped = -1;
    const std::size_t before = db.message_count();
    commands.do_update_command(line, check_only, &dropped);
    if (dropped != 0 && dropped != 1) std::abort();
    if (check_only && db.message_count() != before) std::abort();
    check_index(db);
  }
  return 0;
}
