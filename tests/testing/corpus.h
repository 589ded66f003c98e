// The corpus of real mail beside the repository (../shared/corpus, or the
// folder named by QUARN_CORPUS_DIR). Tests that use it skip when it is not
// there.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#ifndef QUARN_SOURCE_DIR
#error "QUARN_SOURCE_DIR must name the source tree"
#endif

namespace quarn::testing {

inline std::filesystem::path corpus_dir() {
  if (const char* dir = std::getenv("QUARN_CORPUS_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  return std::filesystem::path(QUARN_SOURCE_DIR) / ".." / "shared" / "corpus";
}

// Every message file of the corpus in a stable order; empty without corpus.
inline std::vector<std::filesystem::path> corpus_files() {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  if (!std::filesystem::is_directory(corpus_dir(), ec)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus_dir(), ec)) {
    if (entry.is_regular_file() && entry.path().filename() != "README.md") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace quarn::testing
