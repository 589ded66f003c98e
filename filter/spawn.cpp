#include "filter/spawn.h"

#include <cerrno>
#include <string>

#include "filter/rule_log.h"
#include "support/child_process.h"
#include "support/file.h"
#include "support/text.h"

namespace quarn {

bool spawn_allowed(std::string_view command, std::string_view allow_list) {
  const std::string program = parse_command(cstr_view(command)).program;
  if (program.empty()) return false;
  Tokenizer entries(allow_list);
  for (std::string_view entry = entries.next(" \t,"); !entry.empty();
       entry = entries.next(" \t,")) {
    if (entry == program) return true;
  }
  return false;
}

std::int32_t run_spawn(std::string_view command, std::optional<std::string_view> message_text,
                       RuleLog& log, Log& process_log, std::int64_t limit_ms) {
  if (!message_text) {
    log.imsg("run_spawn: run spawn failed\n");
    return 0;
  }
  {
    FilePtr file = open_file(kSpawnFile, "wb");
    if (!file) {
      log.imsg("run_spawn: Unable to write (spawn.tmp) %s\n", system_error_text(errno).c_str());
      return 0;
    }
    // A short write would hand the program a cut message: report it as the
    // failure it is.
    const bool written =
        std::fwrite(message_text->data(), 1, message_text->size(), file.get()) ==
        message_text->size();
    const int write_errno = errno;
    if (std::fclose(file.release()) != 0 || !written) {
      log.imsg("run_spawn: Unable to write (spawn.tmp) %s\n",
               system_error_text(written ? errno : write_errno).c_str());
      return 0;
    }
  }

  std::string command_text;
  lib_var_replace(ncpy(cstr_view(command), kLineSize - 1), command_text, kLineSize, "$FILE$",
                  kSpawnFile);
  const std::string shown = log_escaped(command_text);
  log.imsg("run_spawn: (%s)\n", shown.c_str());

  ChildProcess child;
  std::string error_text;
  if (lib_detach_handle(process_log, command_text, error_text, child) == 0) {
    log.imsg("run_spawn: Unable to open (%s) %s\n", shown.c_str(), error_text.c_str());
    return 0;
  }
  int exit_code = 0;
  if (detach_wait_ms(process_log, child, limit_ms, exit_code) != 0) {
    lib_detach_free(process_log, child);
    log.imsg("run_spawn: NEW Spawned program returned %d\n", exit_code);
    return exit_code;
  }
  log.imsg("run_spawn: no response for 30 seconds, killing robot\n");
  lib_detach_kill(process_log, child);
  return 0;
}

}  // namespace quarn
