// The settings reader on arbitrary file contents: every accessor must return
// without crashing, and the bounds of the bounded keys must hold.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/file.h"
#include "support/settings.h"

using namespace quarn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "fuzz_settings_" + std::to_string(::getpid()) + ".ini";
  {
    FilePtr f = open_file(path, "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f.get());
  }
  static std::FILE* sink = std::fopen("/dev/null", "w");
  Log log(sink);
  Settings settings(log, SettingsOptions{path, false, 1});
  settings.init();
  for (int i = 0; i < kIniKeyCount; ++i) {
    auto key = static_cast<IniKey>(i);
    settings.get(key);
    settings.is_true(key);
    settings.get_int(key);
    settings.is_raw_true(key);
  }
  if (settings.get_int(IniKey::UPDATE_INT) < 20) std::abort();
  if (settings.get_int(IniKey::FILTER_MAX) < 1000) std::abort();
  if (settings.get_int(IniKey::EXPIRE_DAYS) < 1) std::abort();
  if (settings.get_int(IniKey::LOG_SIZE) < 0) std::abort();
  settings.reload();
  return 0;
}
