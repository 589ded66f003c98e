// The store behind the `rexpstore` built-in: how often each matched text
// was seen under each store name, across every message the process filters.
//
// At most 10000 entries; a new entry goes to the front, and when the store
// is full the oldest addition still present is dropped first (a hit never
// moves an entry). The store outlives filters: it is not emptied when a
// rules file is compiled or freed.
//
// Owner: the `RuleEngine`; used under the filter mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quarn {

inline constexpr std::size_t kRexpStoreLimit = 10000;
// Characters of a match that the store keeps.
inline constexpr std::size_t kRexpStoreText = 50;

class RexpStore {
 public:
  explicit RexpStore(std::size_t limit = kRexpStoreLimit) : limit_(limit) {}

  // Counts one more sighting of `text` (cut to 50 characters) under `name`
  // and returns the count so far (1 for a new pair).
  std::int32_t record(std::string_view name, std::string_view text);

  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string key;  // name, NUL, text
    std::int32_t count = 0;
  };
  std::size_t limit_;
  std::list<Entry> entries_;  // newest first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

}  // namespace quarn
