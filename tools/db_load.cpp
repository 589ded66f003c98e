#include "tools/db_load.h"

#include <filesystem>

#include "support/file.h"

namespace quarn::tool {

QuietLog::QuietLog(std::FILE* stream) {
  if (stream == nullptr) stream = null_ = std::fopen("/dev/null", "w");
  log_ = std::make_unique<Log>(stream);
}

QuietLog::~QuietLog() {
  log_.reset();
  if (null_ != nullptr) std::fclose(null_);
}

std::string settings_beside(const std::string& db_path) {
  return (std::filesystem::path(db_path).parent_path() / "quarncrc.ini").string();
}

LoadedDb::LoadedDb(std::string db_path, std::string ini_path)
    : db_path_(std::move(db_path)),
      settings_(quiet_.log(),
                SettingsOptions{ini_path.empty() ? settings_beside(db_path_) : ini_path}),
      db_(quiet_.log()) {}

bool LoadedDb::load(std::string& error) {
  settings_.init();
  FilePtr file = open_file(db_path_, "r");
  if (!file) {
    error = "cannot read " + db_path_;
    return false;
  }
  UpdateCommands commands(db_, settings_, quiet_.log(), state_);
  const CommandRules rules = commands.rules();
  for_each_db_line(file.get(), [&](const std::string& line, int) {
    commands.run(parse_update_command(line, rules), false);
  });
  return true;
}

const MessageRecord* LoadedDb::best_record(const PartCrcs& crcs, bool allow_null_head) const {
  const MessageRecord* best = nullptr;
  int best_weight = 0;
  const auto counts = [&](int part) {
    return part >= kFirstBodyPart || crcs[part] != 0 || allow_null_head;
  };
  for (int part = 0; part < kPartCount; ++part) {
    if (!counts(part)) continue;
    db_.for_each_with(part, crcs[part], [&](RecordRef ref) {
      const MessageRecord& record = db_.record(ref);
      int weight = 0;
      for (int k = 0; k < kPartCount; ++k) {
        if (record.crc[k] == crcs[k] && counts(k)) weight += SignatureDb::kWeights[k];
      }
      if (weight > best_weight || (weight == best_weight && best && record.id < best->id)) {
        best = &record;
        best_weight = weight;
      }
    });
  }
  return best;
}

}  // namespace quarn::tool
