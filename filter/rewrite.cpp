#include "filter/rewrite.h"

#include <cerrno>
#include <cstdio>

#include "filter/filter_run.h"
#include "filter/rule_log.h"
#include "message/message_model.h"
#include "support/file.h"
#include "support/text.h"

namespace quarn {
namespace {

// Lines are read with at most 998 characters.
constexpr std::size_t kRewriteLineSize = 999;
constexpr std::size_t kNameLimit = 100;
constexpr std::size_t kValueLimit = 800;
constexpr std::size_t kAddedLimit = 300;

bool is_empty_line(std::string_view line) {
  return line == "\r\n" || line == "\n" || line == "\r\r\n";
}

bool write_all(std::FILE* out, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

// The replaced header a line starts with (the last that matches, as the
// header scan takes the last matching name), or null.
const ReplacedHeader* replaced_header_of(std::string_view line,
                                         const std::vector<ReplacedHeader>& replaced) {
  const ReplacedHeader* found = nullptr;
  for (const ReplacedHeader& header : replaced) {
    if (!header.name.empty() && starts_with_nc(line, header.name)) found = &header;
  }
  return found;
}

std::string header_line(std::string_view line, const ReplacedHeader& header) {
  std::string value(ncpy(header.value, kValueLimit));
  for (char& c : value) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return std::string(ncpy(line.substr(0, header.name.size()), kNameLimit)) + ": " + value + "\r\n";
}

}  // namespace

int rewrite_file(const std::string& path, const std::vector<ReplacedHeader>& replaced,
                    const std::vector<std::string>& added, RuleLog& log) {
  log.imsg("Rewriting (%s)\n", path.c_str());
  const std::string new_path = path + "_new";
  FilePtr in = open_file(path, "rb");
  if (!in) {
    log.imsg("rf_rewrite_failed %s %s\n", path.c_str(), system_error_text(errno).c_str());
    return 0;
  }
  FilePtr out = open_file(new_path, "wb");
  if (!out) {
    log.imsg("rf_rewrite_failed %s %s\n", new_path.c_str(), system_error_text(errno).c_str());
    return 0;
  }

  bool in_headers = true;
  bool dropping = false;     // inside a replaced header and its continuation lines
  bool line_start = true;    // the piece read begins a line
  bool piece_dropped = false;  // the line this piece continues was dropped
  bool ok = true;
  std::string line;
  while (ok && read_line(in.get(), line, kRewriteLineSize, LineMode::kBinary)) {
    const bool ends_line = line.back() == '\n';
    const bool first_piece = line_start;
    line_start = ends_line;
    if (!in_headers) {
      ok = write_all(out.get(), line);
      continue;
    }
    if (!first_piece) {
      // The rest of a long line goes where its beginning went.
      if (!piece_dropped) ok = write_all(out.get(), line);
      continue;
    }
    piece_dropped = false;
    if (is_empty_line(line)) {
      for (const std::string& header : added) {
        ok = ok && write_all(out.get(), std::string(ncpy(header, kAddedLimit)) + "\r\n");
      }
      ok = ok && write_all(out.get(), line);
      in_headers = false;
      continue;
    }
    if (dropping && (line[0] == ' ' || line[0] == '\t')) {
      piece_dropped = true;
      continue;
    }
    dropping = false;
    if (const ReplacedHeader* header = replaced_header_of(line, replaced)) {
      ok = write_all(out.get(), header_line(line, *header));
      dropping = true;
      piece_dropped = true;
      continue;
    }
    ok = write_all(out.get(), line);
  }
  const int read_error = std::ferror(in.get()) != 0 ? EIO : 0;
  in.reset();
  const int write_errno = ok ? 0 : errno;
  if (!commit_file(std::move(out)) || !ok || read_error != 0) {
    const int err = read_error != 0 ? read_error : (write_errno != 0 ? write_errno : errno);
    log.imsg("rf_rewrite_failed %s %s\n", new_path.c_str(), system_error_text(err).c_str());
    remove_file(new_path);
    return 0;
  }
  if (!rename_file(new_path, path)) {
    log.imsg("rename failed (%s) (%s)\n", path.c_str(), system_error_text(errno).c_str());
    return 0;
  }
  log.imsg("File rewritten (%s) %d\n", path.c_str(), in_headers ? 1 : 0);
  return 1;
}

int rf_rewrite_message(FilterRun& run) {
  const MessageModel& model = run.model();
  const RuleFilter& filter = run.filter();
  std::vector<ReplacedHeader> replaced;
  for (std::size_t i = 0; i < filter.headers.size(); ++i) {
    const auto index = static_cast<std::int32_t>(i);
    if (!model.replaced(index)) continue;
    replaced.push_back({filter.headers.name(i), std::string(model.header(index))});
  }
  return rewrite_file(run.state().message_path, replaced, model.added_headers(), run.log());
}

}  // namespace quarn
