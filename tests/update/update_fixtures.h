// A signature database with its update commands, settings, log and a
// clock the test sets, and builders of update-command lines.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "signature/signature_text.h"
#include "tests/signature/fixtures.h"
#include "update/update_commands.h"

namespace quarn::testing {

inline constexpr std::int64_t kNow = 1700000000;
inline constexpr std::int32_t kFresh = 1699990000;  // a timestamp well inside 14 days

inline std::string sig(const PartCrcs& crcs) { return "A" + make_signature_text(crcs); }

// Nine distinct CRCs derived from `seed`.
inline PartCrcs crcs_of(std::uint32_t seed) {
  PartCrcs crcs;
  for (int p = 0; p < kPartCount; ++p) crcs[p] = seed * 2654435761u + static_cast<std::uint32_t>(p) * 40503u;
  return crcs;
}

inline std::string set_line(std::int32_t id, std::int32_t ts, const PartCrcs& crcs,
                            std::int32_t count = 3, std::int32_t other = 0,
                            std::int32_t status = 2, std::int32_t type = 1) {
  return "SET|" + std::to_string(id) + "|" + std::to_string(ts) + "|" + std::to_string(count) +
         "|" + std::to_string(other) + "|" + std::to_string(status) + "|" + std::to_string(type) +
         "|" + sig(crcs);
}

struct UpdateWorld {
  explicit UpdateWorld(std::string_view ini = "", bool test_mode = false, int wait_ms = 2000)
      : h(ini),
        db(h.log),
        commands(db, *h.settings, h.log, state,
                 UpdateCommandOptions{test_mode, wait_ms, [this] { return now; }}) {}

  std::int32_t apply(std::string_view line) { return commands.do_update_command(line, false); }

  // Every record as "count other status type crcs..." by id.
  std::map<std::int32_t, std::string> records() const {
    std::map<std::int32_t, std::string> all;
    for (std::int32_t id = 1; id <= 200; ++id) {
      if (const MessageRecord* r = db.find_message(id)) {
        std::string text = std::to_string(r->count) + " " + std::to_string(r->other_count) + " " +
                           std::to_string(r->status) + " " + std::to_string(r->type);
        for (auto c : r->crc) text += " " + std::to_string(c);
        all[id] = text;
      }
    }
    return all;
  }

  Harness h;
  SignatureDb db;
  UpdateState state;
  std::int64_t now = kNow;
  UpdateCommands commands;
};

}  // namespace quarn::testing
