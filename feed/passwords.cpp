#include "feed/passwords.h"

namespace quarn::feed {
namespace {

constexpr std::size_t kMaxRemembered = 4096;

}  // namespace

std::optional<std::string> hash_password(std::string_view password) {
  if (sodium_init() < 0) return std::nullopt;
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    return std::nullopt;
  }
  return std::string(out);
}

PasswordCheck::PasswordCheck() {
  if (sodium_init() < 0) abort();
  crypto_generichash_keygen(key_);
}

std::string PasswordCheck::digest(std::string_view stored_hash, std::string_view password) const {
  crypto_generichash_state state;
  crypto_generichash_init(&state, key_, sizeof key_, crypto_generichash_BYTES);
  const unsigned char separator = 0;
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(stored_hash.data()),
                            stored_hash.size());
  crypto_generichash_update(&state, &separator, 1);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(password.data()),
                            password.size());
  unsigned char out[crypto_generichash_BYTES];
  crypto_generichash_final(&state, out, sizeof out);
  return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

bool PasswordCheck::verify(std::string_view stored_hash, std::string_view password) {
  const std::string remembered = digest(stored_hash, password);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (verified_.count(remembered)) return true;
  }
  const std::string hash(stored_hash);  // NUL-terminated for libsodium
  if (crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) != 0) return false;
  std::lock_guard<std::mutex> hold(mutex_);
  if (verified_.size() >= kMaxRemembered) verified_.clear();
  verified_.insert(remembered);
  return true;
}

}  // namespace quarn::feed
