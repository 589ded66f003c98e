// Signature generation on arbitrary bytes: the input is copied into a heap
// buffer of exactly its size, so any read outside is caught; the signature
// text must always validate.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "signature/msgcrc.h"
#include "signature/signature_text.h"

using namespace quarn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  static Log log(sink);
  auto text = std::make_unique<char[]>(size);
  if (size > 0) std::memcpy(text.get(), data, size);
  PartCrcs crcs;
  msgcrc(std::string_view(text.get(), size), crcs, log);
  if (validatecrc(make_signature_text(crcs)) != 1) std::abort();
  return 0;
}
