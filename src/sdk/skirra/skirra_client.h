// The analytics SDK (stand-in for the maker's closed library). Every reported
// event becomes one JSON line appended to a spool file in the SDK's data
// directory; the common parameters and the current values of the getters are
// attached to each line. No transport: the spool is what a sender would
// upload, and what tests and the demo read.
//
// Spool: <data_directory>/events.jsonl, one object per line:
//   {"seq":1,"event":...,"time":"2026-12-08T16:31:55.123Z","pid":1234,
//    "params":{...},"common":{...},"volatile":{...},"priority":0,"extra":""}
// "seq" counts the events of one process since InitSDK, in file order.
// Invalid UTF-8 anywhere is replaced by U+FFFD so a line is always valid JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace Skirra {
enum RequestPriority : int { kPriorityNormal = 0, kPriorityHigh = 1 };
}  // namespace Skirra

namespace skirra {

inline constexpr const char* kSpoolFileName = "events.jsonl";

// The SDK's set-up record, fields in the SDK's declared order.
struct SkirraConfig {
  std::string app_key;             // 1: analytics application key
  std::int32_t app_type = 0;       // 2: application type code
  std::string app_version;         // 3: reserved (the SDK reads versions from getters)
  std::string user_id;             // 4: reserved
  std::string server_url;          // 5: empty means the built-in endpoint
  bool debug_mode = false;         // 6: analytics debug mode
  std::string data_directory;      // 7: where the SDK keeps its files (UTF-8)
  bool enable_spool = true;        // 8: keep events on disk (false: count and drop)
  std::int32_t flush_interval_ms = 2000;  // 9: upload period of a real sender
};

class SkirraClient {
 public:
  using Params = std::map<std::string, std::string>;
  using Getters = std::map<std::string, std::function<std::string()>>;

  // Opens the spool (creating the directory). Calling it again re-initialises
  // with the new record; the previous spool is synced and closed first.
  static void InitSDK(const SkirraConfig& config);
  static void set_common_params(const Params& params);
  static void set_common_param_getters(const Getters& getters);
  // Thread-safe. Dropped when the SDK is not initialised. Getters are called
  // on the reporting thread; one that throws gives an empty value.
  static void Report(const std::string& event, const Params& params,
                     Skirra::RequestPriority priority, const std::string& extra);
  // Syncs and closes the spool; later events are dropped.
  static void UninitSDK();

  // Stand-in introspection: the spool file while initialised (else empty),
  // and how many events were written / dropped since the process started.
  static std::filesystem::path SpoolPath();
  static std::uint64_t WrittenCount();
  static std::uint64_t DroppedCount();
};

}  // namespace skirra

// The product's code names the class without the namespace.
using skirra::SkirraClient;
using skirra::SkirraConfig;
