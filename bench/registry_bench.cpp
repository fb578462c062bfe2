// Registry reads sit behind the analytics getters and the product settings,
// writes behind the probe stamps; the cipher behind every stored document.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "base/crypto.h"
#include "platform/registry.h"

namespace {

namespace reg = platform::registry;
constexpr wchar_t kKey[] = L"Software\\Quarrion\\Bench";

// A throw-away storage directory for the whole run.
struct Store {
  Store() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarrion-bench.XXXXXX").string();
    dir = ::mkdtemp(pattern.data());
    reg::SetStorageDirectory(dir);
  }
  ~Store() {
    reg::SetStorageDirectory({});
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::filesystem::path dir;
};
Store& TheStore() {
  static Store store;
  return store;
}

void BM_RegistryReadDword(benchmark::State& state) {
  TheStore();
  reg::WriteDword(reg::Root::kCurrentUser, kKey, L"Value", 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(reg::Read(reg::Root::kCurrentUser, L"SOFTWARE\\quarrion\\bench", L"value"));
  }
}
BENCHMARK(BM_RegistryReadDword);

void BM_RegistryReadMissing(benchmark::State& state) {
  TheStore();
  for (auto _ : state) {
    benchmark::DoNotOptimize(reg::Read(reg::Root::kCurrentUser, kKey, L"Absent"));
  }
}
BENCHMARK(BM_RegistryReadMissing);

void BM_RegistryWriteDword(benchmark::State& state) {
  TheStore();
  std::uint32_t n = 0;
  for (auto _ : state) reg::WriteDword(reg::Root::kCurrentUser, kKey, L"Stamp", ++n);
}
BENCHMARK(BM_RegistryWriteDword);

void BM_XxteaBase64RoundTrip(benchmark::State& state) {
  const std::string key = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
  const std::string text(static_cast<std::size_t>(state.range(0)), 'j');
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        base::crypto::DecodeXxteaBase64(key, base::crypto::EncodeXxteaBase64(key, text)));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_XxteaBase64RoundTrip)->Arg(256)->Arg(16384);

}  // namespace

BENCHMARK_MAIN();
