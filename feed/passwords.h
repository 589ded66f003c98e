// Account passwords: salted slow hashes (libsodium crypto_pwhash_str at its
// interactive limits) and their check.
//
// A server checks the same account on every update, so a password that
// verified once against a stored hash is remembered as a keyed BLAKE2b
// digest of (hash, password) under a key drawn at start: a repeat costs a
// digest, not a slow hash, and the memory holds no password. A changed
// hash (account replaced or removed) no longer matches the digest. At most
// 4096 digests are kept; the set is emptied when it is full.
//
// Threads: any thread may call `verify`.
#pragma once

#include <sodium.h>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace quarn::feed {

// The crypto_pwhash_str text of `password`; nothing when libsodium fails
// (out of memory).
std::optional<std::string> hash_password(std::string_view password);

class PasswordCheck {
 public:
  PasswordCheck();
  PasswordCheck(const PasswordCheck&) = delete;
  PasswordCheck& operator=(const PasswordCheck&) = delete;

  bool verify(std::string_view stored_hash, std::string_view password);

 private:
  std::string digest(std::string_view stored_hash, std::string_view password) const;

  unsigned char key_[crypto_generichash_KEYBYTES];
  std::mutex mutex_;
  std::unordered_set<std::string> verified_;
};

}  // namespace quarn::feed
