#include "filter/rules_origin.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "support/file.h"

namespace quarn {
namespace {

constexpr std::size_t kKeptHashes = 16;
constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

std::vector<std::string> listed_hashes(const std::string& marker_path) {
  std::vector<std::string> hashes;
  FilePtr file = open_file(marker_path, "r");
  if (!file) return hashes;
  std::string line;
  while (read_line(file.get(), line, 64, LineMode::kText)) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) hashes.push_back(line);
  }
  return hashes;
}

std::string hash_text(std::uint64_t hash) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, hash);
  return text;
}

}  // namespace

std::optional<std::uint64_t> rules_hash(const std::string& path) {
  FilePtr file = open_file(path, "rb");
  if (!file) return std::nullopt;
  std::uint64_t hash = kFnvOffset;
  unsigned char buffer[8192];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    for (std::size_t i = 0; i < n; ++i) hash = (hash ^ buffer[i]) * kFnvPrime;
  }
  if (std::ferror(file.get())) return std::nullopt;
  return hash;
}

bool record_downloaded_rules(const std::string& marker_path, const std::string& rules_path) {
  const auto hash = rules_hash(rules_path);
  if (!hash) return false;
  std::vector<std::string> hashes = listed_hashes(marker_path);
  hashes.push_back(hash_text(*hash));
  if (hashes.size() > kKeptHashes) hashes.erase(hashes.begin(), hashes.end() - kKeptHashes);
  const std::string new_path = marker_path + ".new";
  FilePtr file = open_file(new_path, "w");
  if (!file) return false;
  for (const auto& h : hashes) std::fprintf(file.get(), "%s\n", h.c_str());
  return commit_file(std::move(file)) && rename_file(new_path, marker_path);
}

bool is_downloaded_rules(const std::string& marker_path, const std::string& rules_path) {
  const auto hash = rules_hash(rules_path);
  if (!hash) return false;
  const std::string text = hash_text(*hash);
  for (const auto& h : listed_hashes(marker_path)) {
    if (h == text) return true;
  }
  return false;
}

std::string rules_origin_path(const std::string& rules_path) {
  return (std::filesystem::path(rules_path).parent_path() / kRulesOriginFile).string();
}

}  // namespace quarn
