// The registry emulation: one SQLite file per root. Keys and value names are
// stored twice, folded (for lookup) and as first written (for display).
#include "platform/posix_util_posix.h"
#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "platform/diagnostics.h"
#include "platform/text.h"

namespace platform::registry {
namespace {

constexpr ErrorCode kErrorDiskFull = 112;
constexpr ErrorCode kErrorBadDb = 1009;           // ERROR_BADDB
constexpr ErrorCode kErrorRegistryIo = 1016;      // ERROR_REGISTRY_IO_FAILED
constexpr int kBusyTimeoutMs = 15000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " fold TEXT PRIMARY KEY,"
    " name TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS vals("
    " key_fold TEXT NOT NULL,"
    " fold TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB,"
    " PRIMARY KEY(key_fold, fold)) WITHOUT ROWID;";

struct Connection {
  sqlite3* db = nullptr;
  pid_t owner = 0;  // the process that opened it; a forked child must not use it
  // The value look-up, compiled once per connection: a run reads hundreds of
  // values, and compiling the statement cost more than running it.
  sqlite3_stmt* lookup = nullptr;
};

std::mutex g_mutex;
std::filesystem::path g_directory;
Connection g_connections[2];

const char* FileName(Root root) { return root == Root::kCurrentUser ? "HKCU.db" : "HKLM.db"; }

bool IsCorruption(int rc) {
  rc &= 0xFF;
  return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
}

ErrorCode MapSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return kErrorSuccess;
    case SQLITE_NOMEM:
      return kErrorOutOfMemory;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrorSharingViolation;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return kErrorAccessDenied;
    case SQLITE_FULL:
      return kErrorDiskFull;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return kErrorBadDb;
    case SQLITE_IOERR:
      return kErrorRegistryIo;
    default:
      return kErrorGenFailure;
  }
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int prepare_result() const { return rc_; }
  sqlite3_stmt* get() const { return stmt_; }
  void Bind(int i, const std::string& text) {
    sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void BindBlob(int i, const std::string& bytes) {
    sqlite3_bind_blob(stmt_, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  }
  void Bind(int i, std::int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  int Step() { return sqlite3_step(stmt_); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_OK;
};

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// A normalised subkey: no empty segments. `fold` is its lookup form.
struct KeyPath {
  std::vector<std::wstring> parts;
  std::string display;
  std::string fold;
};

KeyPath ParseKey(std::wstring_view subkey) {
  KeyPath key;
  std::wstring current;
  auto flush = [&] {
    if (!current.empty()) key.parts.push_back(std::move(current));
    current.clear();
  };
  for (wchar_t c : subkey) {
    if (c == L'\\') {
      flush();
    } else {
      current.push_back(c);
    }
  }
  flush();
  std::wstring joined;
  for (const auto& p : key.parts) {
    if (!joined.empty()) joined.push_back(L'\\');
    joined += p;
  }
  key.display = text::ToUtf8(joined);
  key.fold = text::ToUtf8(text::ToLower(joined));
  return key;
}

std::string Fold(std::wstring_view name) { return text::ToUtf8(text::ToLower(name)); }

void CloseConnection(Connection& c) {
  // A connection inherited through fork belongs to the parent: closing it
  // here could checkpoint or unlink the parent's files, so it is dropped.
  if (c.db != nullptr && c.owner == ::getpid()) {
    sqlite3_finalize(c.lookup);
    sqlite3_close_v2(c.db);
  }
  c.lookup = nullptr;
  c.db = nullptr;
  c.owner = 0;
}

bool IsBusy(int rc) {
  rc &= 0xFF;
  return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

// Some steps report a busy database at once instead of waiting through the
// busy handler (switching to WAL while another process creates the same
// file, a read turning into a write). They are retried here with short
// pauses until the busy time-out has passed.
template <typename Fn>
int RetryWhileBusy(Fn&& fn) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  int pause_ms = 1;
  for (;;) {
    const int rc = fn();
    if (!IsBusy(rc) || std::chrono::steady_clock::now() >= deadline) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    pause_ms = pause_ms < 20 ? pause_ms * 2 : 20;
  }
}

int Configure(sqlite3* db, bool fresh) {
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 0);
  // A file made just now holds nothing worth a disk sync: switching it to
  // WAL and laying out the tables go unsynced (a file left damaged by a crash
  // meanwhile is moved aside and started again). Values are written under
  // NORMAL: each commit in the WAL, synced at checkpoints.
  int rc = Exec(db, fresh ? "PRAGMA synchronous=OFF" : "PRAGMA synchronous=NORMAL");
  if (rc != SQLITE_OK) return rc;
  rc = RetryWhileBusy([&] { return Exec(db, "PRAGMA journal_mode=WAL"); });
  if (rc != SQLITE_OK) return rc;
  rc = RetryWhileBusy([&] { return Exec(db, kSchema); });
  if (rc != SQLITE_OK || !fresh) return rc;
  return Exec(db, "PRAGMA synchronous=NORMAL");
}

int OpenFile(const std::filesystem::path& file, sqlite3** out) {
  *out = nullptr;
  std::error_code size_ec;
  const bool fresh = std::filesystem::file_size(file, size_ec) == 0 || size_ec;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) rc = Configure(db, fresh);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return rc;
  }
  *out = db;
  return SQLITE_OK;
}

// Whether `file` can be read as a database, by a connection of its own.
bool LooksLikeDatabase(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    rc = Exec(db, "SELECT count(*) FROM sqlite_master");
  }
  sqlite3_close_v2(db);
  return !IsCorruption(rc);
}

// Notes for the log, raised once the registry lock is released (the sink
// may well read the registry itself). Guarded by g_mutex.
std::vector<std::string> g_notes;
// Failures already noted: a file that stays unusable is noted once per
// process, not on every access. Guarded by g_mutex.
std::set<std::string> g_noted_failures;

void NoteOnce(const std::string& what, std::string note) {
  if (g_noted_failures.insert(what).second) g_notes.push_back(std::move(note));
}

// Moves an unreadable root file aside. Serialised across processes by a lock
// file, and the file is checked again under the lock, so a second process
// that saw the same damage does not move the fresh file away.
void MoveAside(const std::filesystem::path& file) {
  const std::string lock_path = file.string() + ".lock";
  // Closing the descriptor (end of scope) releases the lock.
  const posix::ScopedFd lock(posix::RetryAfterSignal(
      [&] { return ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); }));
  if (lock) posix::RetryAfterSignal([&] { return ::flock(lock.get(), LOCK_EX); });
  std::error_code ec;
  if (std::filesystem::exists(file, ec) && !LooksLikeDatabase(file)) {
    const std::string kept = file.string() + ".corrupt";
    std::filesystem::rename(file, kept, ec);
    if (!ec) {
      g_notes.push_back("registry file " + file.string() +
                        " was not a database: kept it as " + kept + " and started an empty one");
    } else {
      const std::string why = ec.message();
      std::filesystem::remove(file, ec);
      if (!ec) {
        g_notes.push_back("registry file " + file.string() + " was not a database and could not be kept (" +
                          why + "): removed it and started an empty one");
      } else {
        NoteOnce("damaged " + file.string(),
                 "registry file " + file.string() +
                     " is not a database and can be neither moved nor removed (" + ec.message() +
                     "): its values read as absent and writes fail");
      }
    }
    std::filesystem::remove(file.string() + "-wal", ec);
    std::filesystem::remove(file.string() + "-shm", ec);
  }
}

// Opens (or reuses) the connection of a root. Caller holds g_mutex.
int Connect(Root root, sqlite3** out) {
  Connection& c = g_connections[root == Root::kCurrentUser ? 0 : 1];
  if (c.db != nullptr && c.owner != ::getpid()) CloseConnection(c);
  if (c.db != nullptr) {
    *out = c.db;
    return SQLITE_OK;
  }
  if (g_directory.empty()) return SQLITE_CANTOPEN;
  std::error_code ec;
  std::filesystem::create_directories(g_directory, ec);
  const auto file = g_directory / FileName(root);
  int rc = OpenFile(file, &c.db);
  if (IsCorruption(rc)) {
    MoveAside(file);
    rc = OpenFile(file, &c.db);
  }
  if (rc != SQLITE_OK) {
    if (!IsBusy(rc)) {
      NoteOnce("open " + file.string() + " " + std::to_string(rc),
               "registry file " + file.string() + " cannot be opened (" + sqlite3_errstr(rc) +
                   "): its values read as absent and writes fail");
    }
    return rc;
  }
  c.owner = ::getpid();
  *out = c.db;
  return SQLITE_OK;
}

// Runs `fn(db)` (returning an SQLite code) on the root's connection. Damage
// found on the way recreates the file once; a busy database is retried.
template <typename Fn>
ErrorCode RunLocked(Root root, Fn&& fn) {
  if (g_directory.empty()) return kErrorPathNotFound;
  bool recovered = false;
  const int rc = RetryWhileBusy([&] {
    sqlite3* db = nullptr;
    int result = Connect(root, &db);
    if (result == SQLITE_OK) result = fn(db);
    if (IsCorruption(result) && !recovered) {
      recovered = true;
      CloseConnection(g_connections[root == Root::kCurrentUser ? 0 : 1]);
      MoveAside(g_directory / FileName(root));
      result = Connect(root, &db);
      if (result == SQLITE_OK) result = fn(db);
    }
    return result;
  });
  return MapSqlite(rc);
}

template <typename Fn>
ErrorCode Run(Root root, Fn&& fn) {
  std::vector<std::string> notes;
  ErrorCode result;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    result = RunLocked(root, std::forward<Fn>(fn));
    notes.swap(g_notes);
  }
  for (std::string& note : notes) diagnostics::Note(std::move(note));
  return result;
}

// Runs `body(db)` inside a write transaction.
template <typename Body>
int InWriteTransaction(sqlite3* db, Body&& body) {
  int rc = Exec(db, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return rc;
  rc = body(db);
  if (rc == SQLITE_OK || rc == SQLITE_DONE) {
    rc = Exec(db, "COMMIT");
    if (rc == SQLITE_OK) return SQLITE_OK;
  }
  Exec(db, "ROLLBACK");
  return rc;
}

int EnsureKey(sqlite3* db, const KeyPath& key) {
  Statement st(db, "INSERT OR IGNORE INTO keys(fold, name) VALUES(?1, ?2)");
  if (st.prepare_result() != SQLITE_OK) return st.prepare_result();
  std::wstring path;
  for (const auto& part : key.parts) {
    if (!path.empty()) path.push_back(L'\\');
    path += part;
    sqlite3_reset(st.get());
    st.Bind(1, Fold(path));
    st.Bind(2, text::ToUtf8(path));
    const int rc = st.Step();
    if (rc != SQLITE_DONE) return rc;
  }
  return SQLITE_OK;
}

int PutValue(sqlite3* db, const KeyPath& key, std::wstring_view name, std::uint32_t type,
             const std::function<void(Statement&, int)>& bind_data) {
  int rc = EnsureKey(db, key);
  if (rc != SQLITE_OK) return rc;
  Statement st(db,
               "INSERT INTO vals(key_fold, fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
               "ON CONFLICT(key_fold, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
  if (st.prepare_result() != SQLITE_OK) return st.prepare_result();
  st.Bind(1, key.fold);
  st.Bind(2, Fold(name));
  st.Bind(3, text::ToUtf8(name));
  st.Bind(4, static_cast<std::int64_t>(type));
  bind_data(st, 5);
  return st.Step();
}

struct RawValue {
  std::uint32_t type = 0;
  std::int64_t number = 0;
  std::string bytes;
};

// The connection's compiled value look-up, prepared on first use. Caller
// holds g_mutex, as for every use of a connection.
int LookupStatement(sqlite3* db, sqlite3_stmt** out) {
  for (Connection& c : g_connections) {
    if (c.db != db) continue;
    if (c.lookup == nullptr) {
      const int rc =
          sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key_fold = ?1 AND fold = ?2", -1, &c.lookup, nullptr);
      if (rc != SQLITE_OK) return rc;
    }
    *out = c.lookup;
    return SQLITE_OK;
  }
  return SQLITE_MISUSE;
}

// Resets a kept statement however its use ends: a statement left stepped
// would hold its read transaction open, and with it an old snapshot of the
// file that no other process's later writes would reach.
class ResetOnExit {
 public:
  explicit ResetOnExit(sqlite3_stmt* st) : st_(st) {}
  ~ResetOnExit() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;

 private:
  sqlite3_stmt* st_;
};

int GetRaw(sqlite3* db, const KeyPath& key, std::wstring_view name, std::optional<RawValue>* out) {
  sqlite3_stmt* st = nullptr;
  if (const int prepared = LookupStatement(db, &st); prepared != SQLITE_OK) return prepared;
  const std::string folded_name = Fold(name);  // bound as is: outlives the reset
  const ResetOnExit reset(st);
  sqlite3_bind_text(st, 1, key.fold.data(), static_cast<int>(key.fold.size()), SQLITE_STATIC);
  sqlite3_bind_text(st, 2, folded_name.data(), static_cast<int>(folded_name.size()), SQLITE_STATIC);
  const int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    RawValue v;
    v.type = static_cast<std::uint32_t>(sqlite3_column_int64(st, 0));
    if (v.type == kTypeDword || v.type == kTypeQword) {
      v.number = sqlite3_column_int64(st, 1);
    } else {
      const void* p = sqlite3_column_blob(st, 1);
      const int n = sqlite3_column_bytes(st, 1);
      if (p != nullptr) v.bytes.assign(static_cast<const char*>(p), static_cast<std::size_t>(n));
    }
    *out = std::move(v);
    return SQLITE_OK;
  }
  *out = std::nullopt;
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Multi-strings: every element followed by one NUL, so empty elements survive.
std::string EncodeMulti(const std::vector<std::wstring>& items) {
  std::string out;
  for (const auto& item : items) {
    out += text::ToUtf8(item);
    out.push_back('\0');
  }
  return out;
}

std::vector<std::wstring> DecodeMulti(const std::string& bytes) {
  std::vector<std::wstring> items;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    items.push_back(text::FromUtf8(std::string_view(bytes).substr(start, end - start)));
    start = end + 1;
  }
  return items;
}

ErrorCode WriteNumber(Root root, std::wstring_view subkey, std::wstring_view name,
                      std::uint32_t type, std::int64_t v) {
  const KeyPath key = ParseKey(subkey);
  return Run(root, [&](sqlite3* db) {
    return InWriteTransaction(db, [&](sqlite3* d) {
      return PutValue(d, key, name, type, [&](Statement& st, int i) { st.Bind(i, v); });
    });
  });
}

}  // namespace

void SetStorageDirectory(const std::filesystem::path& directory) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (auto& c : g_connections) CloseConnection(c);
  g_directory = directory;
}

std::filesystem::path StorageDirectory() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_directory;
}

Result<std::optional<Value>> Read(Root root, std::wstring_view subkey, std::wstring_view name,
                                  View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  std::optional<RawValue> raw;
  const ErrorCode err = Run(root, [&](sqlite3* db) { return GetRaw(db, key, name, &raw); });
  if (err != kErrorSuccess) return Fail(err);
  if (!raw) return std::optional<Value>();
  switch (raw->type) {
    case kTypeDword:
      return std::optional<Value>(static_cast<std::uint32_t>(raw->number));
    case kTypeQword:
      return std::optional<Value>(static_cast<std::uint64_t>(raw->number));
    case kTypeString:
      return std::optional<Value>(text::FromUtf8(raw->bytes));
    default:
      return Fail(kErrorUnsupportedType);
  }
}

ErrorCode WriteDword(Root root, std::wstring_view subkey, std::wstring_view name, std::uint32_t v,
                     View /*one view here*/) {
  return WriteNumber(root, subkey, name, kTypeDword, static_cast<std::int64_t>(v));
}

ErrorCode WriteQword(Root root, std::wstring_view subkey, std::wstring_view name, std::uint64_t v,
                     View /*one view here*/) {
  return WriteNumber(root, subkey, name, kTypeQword, static_cast<std::int64_t>(v));
}

ErrorCode WriteString(Root root, std::wstring_view subkey, std::wstring_view name,
                      std::wstring_view v, View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  const std::string data = text::ToUtf8(v);
  return Run(root, [&](sqlite3* db) {
    return InWriteTransaction(db, [&](sqlite3* d) {
      return PutValue(d, key, name, kTypeString, [&](Statement& st, int i) { st.Bind(i, data); });
    });
  });
}

ErrorCode WriteMultiString(Root root, std::wstring_view subkey, std::wstring_view name,
                           const std::vector<std::wstring>& v, View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  const std::string data = EncodeMulti(v);
  return Run(root, [&](sqlite3* db) {
    return InWriteTransaction(db, [&](sqlite3* d) {
      return PutValue(d, key, name, kTypeMultiString,
                      [&](Statement& st, int i) { st.BindBlob(i, data); });
    });
  });
}

Result<std::optional<std::vector<std::wstring>>> ReadMultiString(Root root,
                                                                 std::wstring_view subkey,
                                                                 std::wstring_view name,
                                                                 View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  std::optional<RawValue> raw;
  const ErrorCode err = Run(root, [&](sqlite3* db) { return GetRaw(db, key, name, &raw); });
  if (err != kErrorSuccess) return Fail(err);
  if (!raw) return std::optional<std::vector<std::wstring>>();
  if (raw->type != kTypeMultiString) return Fail(kErrorUnsupportedType);
  return std::optional<std::vector<std::wstring>>(DecodeMulti(raw->bytes));
}

ErrorCode AppendMultiString(Root root, std::wstring_view subkey, std::wstring_view name,
                            const std::vector<std::wstring>& items, View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  const std::string tail = EncodeMulti(items);
  return Run(root, [&](sqlite3* db) {
    return InWriteTransaction(db, [&](sqlite3* d) {
      std::optional<RawValue> raw;
      const int rc = GetRaw(d, key, name, &raw);
      if (rc != SQLITE_OK) return rc;
      std::string data = (raw && raw->type == kTypeMultiString) ? raw->bytes : std::string();
      if (!data.empty() && data.back() != '\0') data.push_back('\0');
      data += tail;
      return PutValue(d, key, name, kTypeMultiString,
                      [&](Statement& st, int i) { st.BindBlob(i, data); });
    });
  });
}

Result<std::wstring> CreateStringIfAbsent(Root root, std::wstring_view subkey,
                                          std::wstring_view name, std::wstring_view value,
                                          View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  const std::string data = text::ToUtf8(value);
  std::wstring result;
  const ErrorCode err = Run(root, [&](sqlite3* db) {
    return InWriteTransaction(db, [&](sqlite3* d) {
      std::optional<RawValue> raw;
      const int rc = GetRaw(d, key, name, &raw);
      if (rc != SQLITE_OK) return rc;
      if (raw && raw->type == kTypeString && !raw->bytes.empty()) {
        result = text::FromUtf8(raw->bytes);
        return SQLITE_OK;
      }
      result = std::wstring(value);
      return PutValue(d, key, name, kTypeString, [&](Statement& st, int i) { st.Bind(i, data); });
    });
  });
  if (err != kErrorSuccess) return Fail(err);
  return result;
}

Result<std::optional<std::uint32_t>> ValueType(Root root, std::wstring_view subkey,
                                               std::wstring_view name, View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  std::optional<RawValue> raw;
  const ErrorCode err = Run(root, [&](sqlite3* db) { return GetRaw(db, key, name, &raw); });
  if (err != kErrorSuccess) return Fail(err);
  if (!raw) return std::optional<std::uint32_t>();
  return std::optional<std::uint32_t>(raw->type);
}

ErrorCode DeleteValue(Root root, std::wstring_view subkey, std::wstring_view name,
                      View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  int changes = 0;
  const ErrorCode err = Run(root, [&](sqlite3* db) {
    Statement st(db, "DELETE FROM vals WHERE key_fold = ?1 AND fold = ?2");
    if (st.prepare_result() != SQLITE_OK) return st.prepare_result();
    st.Bind(1, key.fold);
    st.Bind(2, Fold(name));
    const int rc = st.Step();
    changes = sqlite3_changes(db);
    return rc;
  });
  if (err != kErrorSuccess) return err;
  return changes > 0 ? kErrorSuccess : kErrorFileNotFound;
}

ErrorCode DeleteKey(Root root, std::wstring_view subkey, View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  if (key.parts.empty()) return kErrorAccessDenied;
  int changes = 0;
  const ErrorCode err = Run(root, [&](sqlite3* db) {
    return InWriteTransaction(db, [&](sqlite3* d) {
      // The key itself and everything below it ("<key>\..."), but not a
      // sibling that merely starts with the same characters.
      Statement keys(d,
                     "DELETE FROM keys WHERE fold = ?1 OR "
                     "substr(fold, 1, length(?1) + 1) = ?1 || '\\'");
      if (keys.prepare_result() != SQLITE_OK) return keys.prepare_result();
      keys.Bind(1, key.fold);
      int rc = keys.Step();
      if (rc != SQLITE_DONE) return rc;
      changes = sqlite3_changes(d);
      Statement vals(d,
                     "DELETE FROM vals WHERE key_fold = ?1 OR "
                     "substr(key_fold, 1, length(?1) + 1) = ?1 || '\\'");
      if (vals.prepare_result() != SQLITE_OK) return vals.prepare_result();
      vals.Bind(1, key.fold);
      return vals.Step();
    });
  });
  if (err != kErrorSuccess) return err;
  return changes > 0 ? kErrorSuccess : kErrorFileNotFound;
}

bool ValueExists(Root root, std::wstring_view subkey, std::wstring_view name,
                 View /*one view here*/) {
  const auto type = ValueType(root, subkey, name);
  return type && type->has_value();
}

bool KeyExists(Root root, std::wstring_view subkey, View /*one view here*/) {
  const KeyPath key = ParseKey(subkey);
  bool found = false;
  const ErrorCode err = Run(root, [&](sqlite3* db) {
    if (key.parts.empty()) {
      found = true;
      return SQLITE_OK;
    }
    Statement st(db, "SELECT 1 FROM keys WHERE fold = ?1");
    if (st.prepare_result() != SQLITE_OK) return st.prepare_result();
    st.Bind(1, key.fold);
    const int rc = st.Step();
    found = rc == SQLITE_ROW;
    return rc == SQLITE_ROW ? SQLITE_OK : rc;
  });
  return err == kErrorSuccess && found;
}

}  // namespace platform::registry
