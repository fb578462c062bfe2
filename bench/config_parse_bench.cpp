// Time to read realistic configuration documents: one insert parses a host,
// a local user and a global document per package, for every installed app.
// The plain JSON parse is measured beside them to show what the bounds
// check and the member reading add.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/config/model/app_host_config.h"
#include "common/config/model/app_local_user_config.h"
#include "common/config/model/config_derivation.h"
#include "common/config/model/json_parse.h"
#include "common/config/model/nimbrel_global_config.h"

namespace {

// The sample documents live with the tests. __FILE__ is relative to the
// build directory when the build tree sits inside the source tree.
std::filesystem::path DataDir() {
  if (const char* source = std::getenv("QUARRION_SOURCE_DIR")) {
    return std::filesystem::path(source) / "tests/common/config/data";
  }
  std::filesystem::path here(__FILE__);
  if (here.is_relative()) here = std::filesystem::path(QUARRION_BIN_DIR).parent_path() / here;
  return here.parent_path().parent_path() / "tests/common/config/data";
}

const std::string& Document(const char* name) {
  static std::map<std::string, std::string> cache;
  auto it = cache.find(name);
  if (it == cache.end()) {
    std::ifstream in(DataDir() / name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (text.str().empty()) throw std::runtime_error(std::string("missing sample document ") + name);
    it = cache.emplace(name, text.str()).first;
  }
  return it->second;
}

template <class Parse>
void RunParse(benchmark::State& state, const char* document, Parse parse) {
  const std::string& text = Document(document);
  for (auto _ : state) {
    auto parsed = parse(text);
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void BM_JsonParseOnly_Host(benchmark::State& state) {
  RunParse(state, "host_config.json", [](const std::string& t) { return nlohmann::json::parse(t); });
}
void BM_ParseHostDocument(benchmark::State& state) {
  RunParse(state, "host_config.json", [](const std::string& t) { return config::ParseAppHostConfig(t); });
}
void BM_JsonParseOnly_Global(benchmark::State& state) {
  RunParse(state, "global_config.json", [](const std::string& t) { return nlohmann::json::parse(t); });
}
void BM_ParseGlobalDocument(benchmark::State& state) {
  RunParse(state, "global_config.json", [](const std::string& t) { return config::ParseNimbrelGlobalConfig(t); });
}
void BM_LocalUserReadAndStore(benchmark::State& state) {
  RunParse(state, "local_user_config.json", [](const std::string& t) {
    return config::SerializeLocalUserConfig(*config::ParseAppLocalUserConfig(t));
  });
}
void BM_InsertDocuments(benchmark::State& state) {
  const std::string& host = Document("host_config.json");
  const std::string& local = Document("local_user_config.json");
  const std::string& global = Document("global_config.json");
  for (auto _ : state) {
    auto docs = config::ParseInsertDocuments(host, local, global);
    benchmark::DoNotOptimize(docs);
  }
}

}  // namespace

BENCHMARK(BM_JsonParseOnly_Host);
BENCHMARK(BM_ParseHostDocument);
BENCHMARK(BM_JsonParseOnly_Global);
BENCHMARK(BM_ParseGlobalDocument);
BENCHMARK(BM_LocalUserReadAndStore);
BENCHMARK(BM_InsertDocuments);
BENCHMARK_MAIN();
