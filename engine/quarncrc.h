// The process entry of the engine: arguments, pid file, the command loop on
// standard input and output, and the exit-time summary of test mode.
//
//   --version   prints "QuarnCRC Aug 25 2003" and exits with code 1
//   --test      test mode: UDCMD, the X-Files line, a per-process log file,
//               no expiry, no network updates, timings on standard error
//
// Exit code 0 after a normal end (end of input or QUIT), 1 after --version
// or a failed start-up (the pid file is then left behind).
#pragma once

namespace quarn {

int quarncrc_main(int argc, char** argv);

}  // namespace quarn
