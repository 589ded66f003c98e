// Whole update runs over arbitrary server answers: status line, headers,
// plain or chunked bodies, a rules-file answer, delivered in arbitrary
// pieces through the line reader's own buffer. A run never crashes or
// hangs, answers 0 or 1, and never moves the update position backwards.
//
// Input: byte 0 picks the size of the pieces the "network" delivers, byte 1
// the starting state (bit 0: NO_DLCOUNT true, bit 1: a position already
// held, bit 2: a filter time already held); the rest is the database
// answer, then, after "@@RULES@@", the rules-file answer.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/file.h"
#include "update/update_client.h"

using namespace quarn;

namespace {

constexpr std::string_view kRulesMark = "@@RULES@@";

// A connection whose answers come from memory, one per open, handed out in
// pieces through the same input buffer the TCP line reader uses.
class MemoryLink final : public UpdateLink {
 public:
  MemoryLink(Log& log, std::vector<std::string_view> answers, std::size_t piece)
      : log_(log), answers_(std::move(answers)), piece_(piece) {}

  int open(const std::string&, int) override {
    if (next_ >= answers_.size()) return 0;
    answer_ = answers_[next_++];
    in_.clear();
    open_ = true;
    return 1;
  }
  std::string error() override { return "Connection refused"; }
  int send(const std::string&) override { return open_ ? 1 : 0; }
  int readline(std::string& line, std::size_t size) override {
    for (;;) {
      if (in_.take_line(line, size)) return 1;
      if (!open_ || answer_.empty()) return close_and_fail();
      TcpInputBuffer::Room room = in_.prepare(size + 100);
      if (room.discarded) log_.emsg("No end of line in input buffer\n");
      in_.commit(take(room.data, room.size));
    }
  }
  int read(char* data, std::size_t size) override {
    if (const std::string_view held = in_.pending(); !held.empty()) {
      const std::size_t n = std::min(size, held.size());
      std::memcpy(data, held.data(), n);
      in_.consume(n);
      return static_cast<int>(n);
    }
    if (!open_ || answer_.empty()) return close_and_fail();
    return static_cast<int>(take(data, size));
  }
  void close() override { open_ = false; }
  int read_limit_ms() const override { return 180000; }

 private:
  int close_and_fail() {
    open_ = false;
    return 0;
  }
  std::size_t take(char* data, std::size_t size) {
    const std::size_t n = std::min({size, piece_, answer_.size()});
    std::memcpy(data, answer_.data(), n);
    answer_.remove_prefix(n);
    return n;
  }

  Log& log_;
  std::vector<std::string_view> answers_;
  std::size_t next_ = 0;
  std::string_view answer_;
  bool open_ = false;
  TcpInputBuffer in_;
  const std::size_t piece_;
};

const std::string& work_dir() {
  // Memory-backed when possible: runs flush their files to disk. Never
  // destroyed, so the exit-time cleanup can still read it.
  static const std::string& dir = *new std::string([] {
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? "/dev/shm"
                                           : std::filesystem::temp_directory_path();
    std::string d = base / ("fuzz_update_client_" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(work_dir(), ignored);
    });
    return d;
  }());
  return dir;
}

Settings& settings_for(Log& log, bool no_dlcount) {
  auto make = [&](std::string_view ini) {
    const std::string path = work_dir() + (ini.empty() ? "/plain.ini" : "/nodl.ini");
    FilePtr f = open_file(path, "w");
    std::fwrite(ini.data(), 1, ini.size(), f.get());
    f.reset();
    auto* s = new Settings(log, SettingsOptions{.path = path});
    s->init();
    return s;
  };
  static Settings& plain = *make("");
  static Settings& nodl = *make("NO_DLCOUNT true\n");
  return no_dlcount ? nodl : plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static std::FILE* sink = std::fopen("/dev/null", "w");
  static Log log(sink);
  const std::size_t piece = 1 + data[0] * 7u;
  const std::uint8_t flags = data[1];
  const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);
  std::vector<std::string_view> answers;
  if (const std::size_t mark = input.find(kRulesMark); mark != std::string_view::npos) {
    answers = {input.substr(0, mark), input.substr(mark + kRulesMark.size())};
  } else {
    answers = {input};
  }

  const std::string& dir = work_dir();
  for (const char* name : {kDbFile, kDbNewFile, "filter.new", "filter.dat"}) {
    std::error_code ignored;
    std::filesystem::remove(dir + "/" + name, ignored);
  }

  Settings& settings = settings_for(log, (flags & 1) != 0);
  SignatureDb db(log, 97);
  UpdateState state;
  state.position = (flags & 2) != 0 ? 1699990000 : 0;
  state.filter_time = (flags & 4) != 0 ? 1061164800 : 0;
  UpdateCommands commands(
      db, settings, log, state,
      UpdateCommandOptions{false, 100, [] { return std::int64_t{1700000000}; }});
  DbFile file(commands, DbFileOptions{dir, {}, 1});
  FilterService filter(log);
  UpdateClientOptions options;
  options.filter_wait_ms = 100;
  options.make_link = [&] { return std::make_unique<MemoryLink>(log, answers, piece); };
  UpdateClient client(log, settings, commands, file, state, filter, options);

  const std::int32_t before = state.position;
  const int result = client.do_update();
  if (result != 0 && result != 1) std::abort();
  if (state.position < before) std::abort();
  {
    MutexHold hold(&filter.mutex(), 100);
    filter.free_filter();
  }
  return 0;
}
