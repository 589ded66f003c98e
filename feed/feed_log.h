// The feed's log: one line per event on standard error,
//
//   YYYY-MM-DD HH:MM:SS quarncrc-feed: <text>
//
// in UTC. Control characters of the text (which may come from a request)
// are written as "\xNN" so a client cannot forge lines. Any thread may
// write; lines never interleave.
#pragma once

#include <cstdio>
#include <mutex>

namespace quarn::feed {

class FeedLog {
 public:
  explicit FeedLog(std::FILE* out = stderr) : out_(out) {}
  FeedLog(const FeedLog&) = delete;
  FeedLog& operator=(const FeedLog&) = delete;

  void write(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::mutex mutex_;
  std::FILE* out_;
};

}  // namespace quarn::feed
