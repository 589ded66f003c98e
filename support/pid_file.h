// The process-id file "quarncrc.pid": the running engine's id in decimal,
// without line end. Written at start, removed at normal exit, and read by
// the update thread to notice a second engine started in the same directory.
#pragma once

#include <string>

namespace quarn {

inline constexpr const char* kPidFile = "quarncrc.pid";

// Writes the id (mode "w", format "%d"); false when the file cannot be made.
bool writepid(const std::string& path, int pid);
// The number at the start of the file (0 when it holds none), or `own_pid`
// when the file cannot be opened.
int readpid(const std::string& path, int own_pid);

}  // namespace quarn
