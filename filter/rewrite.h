// Writing a filter run's header changes back into the message file: the
// headers that `replace` changed get their new values, the header lines the
// run added go at the end of the header section.
//
// The rewrite reads the message file line by line (lines of at most 998
// characters; a longer line is read in pieces that follow the fate of the
// line they belong to) and writes "<path>_new", then replaces the message
// file with it in one step (flushed to disk, then renamed over the
// original: there is never a moment without the message file). In the
// header section:
//
//   - a line that begins, ignoring case, with the name of a replaced header
//     is written as "<name as the file spells it>: <new value>\r\n" (at most
//     100 and 800 characters; a CR or LF inside the value becomes a blank,
//     so the header stays one line), and the lines that continue it (those
//     beginning with a blank or a tab) are dropped;
//   - the first empty line ("\r\n", "\n" or "\r\r\n") ends the section: the
//     added lines are written before it, each as "<line>\r\n" (at most 300
//     characters);
//   - every other line, and every line of the body, is copied unchanged.
//
// A file without an empty line after its headers gets no added lines. Log
// lines (info logger): "Rewriting (%s)\n", "rf_rewrite_failed %s %s\n",
// "rename failed (%s) (%s)\n", "File rewritten (%s) %d\n" (1 when the file
// ended inside its header section).
//
// Runs on the filter's thread under the filter mutex (it reads the run's
// model); the file functions are pure and may run anywhere.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarn {

class FilterRun;
class RuleLog;

struct ReplacedHeader {
  std::string name;   // lower-case header name, without colon
  std::string value;  // the new value
};

// Rewrites the message file at `path`. 1 when it was rewritten, 0 when a
// file could not be opened, written or renamed (the message file is then
// left as it was).
int rewrite_file(const std::string& path, const std::vector<ReplacedHeader>& replaced,
                    const std::vector<std::string>& added, RuleLog& log);

// Rewrites the run's message file (the path the run was given) with the
// replaced headers and added lines of the run's message model.
int rf_rewrite_message(FilterRun& run);

}  // namespace quarn
