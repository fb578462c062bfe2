// libFuzzer target for the configuration document readers. Any input must be
// read or refused without a crash, a sanitizer report or an escaped
// exception, and every document read must survive writing and reading back.
// Built by scripts/fuzz-config.sh; not part of the normal build.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "documents_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto fed = config_harness::FeedAllReaders(text);
  if (!fed.failure.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", fed.failure.c_str());
    __builtin_trap();
  }
  return 0;
}
