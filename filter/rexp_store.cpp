#include "filter/rexp_store.h"

#include "support/text.h"

namespace quarn {

std::int32_t RexpStore::record(std::string_view name, std::string_view text) {
  std::string key(name);
  key.push_back('\0');
  key.append(ncpy(text, kRexpStoreText));
  if (auto found = index_.find(key); found != index_.end()) {
    return ++found->second->count;
  }
  if (limit_ == 0) return 1;
  if (entries_.size() >= limit_) {
    index_.erase(entries_.back().key);
    entries_.pop_back();
  }
  entries_.push_front(Entry{key, 1});
  index_.emplace(std::move(key), entries_.begin());
  return 1;
}

}  // namespace quarn
