// Rows per second of the configuration table's Save and Load on this
// machine's disk (WAL, synchronous FULL, as the table opens it), next to plain
// sqlite3 with one transaction per row under the same pragmas.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <QtGlobal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "base/crypto.h"
#include "base/multi_inst.h"
#include "common/config_table/config_table.h"

namespace fs = std::filesystem;

namespace {

constexpr int kLoadRows = 300;
const std::string kPayload(1024, 'j');  // about the size of a small document

fs::path g_home;

fs::path FreshFile(const std::string& name) {
  const fs::path file = g_home / name;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::error_code ec;
    fs::remove(fs::path(file.string() + suffix), ec);
  }
  return file;
}

std::string Key(std::int64_t i) { return "nimbrel.com.pkg" + std::to_string(i) + ".host_config"; }

void SetRate(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations());
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ConfigTableSave(benchmark::State& state) {
  const bool encrypt = state.range(0) != 0;
  config_table::ConfigTable table(FreshFile("save.db"));
  if (!table.IsOpen()) {
    state.SkipWithError("database did not open");
    return;
  }
  std::int64_t i = 0;
  for (auto _ : state) {
    if (!table.Save({Key(i++), "value", encrypt, kPayload})) {
      state.SkipWithError("Save failed");
      break;
    }
  }
  SetRate(state);
}
BENCHMARK(BM_ConfigTableSave)->ArgName("encrypt")->Arg(0)->Arg(1)->UseRealTime();

void BM_ConfigTableLoad(benchmark::State& state) {
  const bool encrypt = state.range(0) != 0;
  const fs::path file = FreshFile("load.db");
  config_table::ConfigTable table(file);
  for (int i = 0; i < kLoadRows; ++i) table.Save({Key(i), "value", encrypt, kPayload});
  std::int64_t i = 0;
  for (auto _ : state) {
    auto row = table.Load(Key(i++ % kLoadRows));
    if (!row || row->json_data.size() != kPayload.size()) {
      state.SkipWithError("Load failed");
      break;
    }
    benchmark::DoNotOptimize(row);
  }
  SetRate(state);
}
BENCHMARK(BM_ConfigTableLoad)->ArgName("encrypt")->Arg(0)->Arg(1)->UseRealTime();

// The cipher alone, to tell its share of the enciphered rows.
void BM_DecodePayload(benchmark::State& state) {
  const std::string key = "0123456789abcdef-machine";
  const std::string text = base::crypto::EncodeXxteaBase64(key, kPayload);
  for (auto _ : state) benchmark::DoNotOptimize(base::crypto::DecodeXxteaBase64(key, text));
  SetRate(state);
}
BENCHMARK(BM_DecodePayload);

// Plain sqlite3: the same table and pragmas, a prepared statement, and one
// explicit transaction per row.
sqlite3* OpenPlain(const fs::path& file) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL;PRAGMA synchronous=FULL;PRAGMA busy_timeout = 5000;"
               "CREATE TABLE IF NOT EXISTS configs(id INTEGER PRIMARY KEY AUTOINCREMENT,key "
               "varchar(256) unique,value TEXT,encrypt int,json_data TEXT)",
               nullptr, nullptr, nullptr);
  return db;
}

void BM_PlainSqliteInsertTransactionPerRow(benchmark::State& state) {
  sqlite3* db = OpenPlain(FreshFile("plain_save.db"));
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "REPLACE INTO configs (key,value,encrypt,json_data) VALUES (?,?,?,?)",
                     -1, &insert, nullptr);
  std::int64_t i = 0;
  for (auto _ : state) {
    const std::string key = Key(i++);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_bind_text(insert, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, "value", -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 3, 0);
    sqlite3_bind_text(insert, 4, kPayload.c_str(), static_cast<int>(kPayload.size()),
                      SQLITE_STATIC);
    const int rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (rc != SQLITE_DONE || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      state.SkipWithError("insert failed");
      break;
    }
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  SetRate(state);
}
BENCHMARK(BM_PlainSqliteInsertTransactionPerRow)->UseRealTime();

void BM_PlainSqliteSelectTransactionPerRow(benchmark::State& state) {
  sqlite3* db = OpenPlain(FreshFile("plain_load.db"));
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "REPLACE INTO configs (key,value,encrypt,json_data) VALUES (?,?,?,?)",
                     -1, &insert, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (int i = 0; i < kLoadRows; ++i) {
    const std::string key = Key(i);
    sqlite3_bind_text(insert, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, "value", -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 3, 0);
    sqlite3_bind_text(insert, 4, kPayload.c_str(), -1, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(insert);

  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, "SELECT * FROM configs where key=?", -1, &select, nullptr);
  std::int64_t i = 0;
  for (auto _ : state) {
    const std::string key = Key(i++ % kLoadRows);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_bind_text(select, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(select) != SQLITE_ROW) {
      state.SkipWithError("select failed");
      break;
    }
    std::string json(reinterpret_cast<const char*>(sqlite3_column_text(select, 4)),
                     static_cast<size_t>(sqlite3_column_bytes(select, 4)));
    benchmark::DoNotOptimize(json);
    sqlite3_reset(select);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  SetRate(state);
}
BENCHMARK(BM_PlainSqliteSelectTransactionPerRow)->UseRealTime();

// The console table plus a closing comparison with the baseline.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      const auto it = run.counters.find("rows/s");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double plain_insert = Rate("BM_PlainSqliteInsertTransactionPerRow/real_time");
    const double plain_select = Rate("BM_PlainSqliteSelectTransactionPerRow/real_time");
    std::printf("\nrows per second (this machine's disk, WAL, synchronous FULL)\n");
    for (const auto& [name, rate] : rates_) {
      if (name.find("Decode") != std::string::npos) continue;
      const bool save = name.find("Save") != std::string::npos ||
                        name.find("Insert") != std::string::npos;
      const double base = save ? plain_insert : plain_select;
      std::printf("  %-48s %12.0f rows/s  %5.2fx plain sqlite3\n", name.c_str(), rate,
                  base > 0 ? rate / base : 0.0);
    }
  }

 private:
  double Rate(const std::string& name) const {
    const auto it = rates_.find(name);
    return it == rates_.end() ? 0.0 : it->second;
  }
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  // A private product home on the same disk as the build.
  std::string pattern = (fs::path(QUARRION_BIN_DIR).parent_path() / "db_bench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  g_home = pattern;
  ::setenv("QUARRION_HOME", g_home.c_str(), 1);
  MultiInst::Instance()->Init(L"Quarrion", 0);

  // The "creating" lines of every fresh file would drown the table.
  qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::error_code ec;
  fs::remove_all(g_home, ec);
  return 0;
}
