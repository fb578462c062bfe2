#include "common/data/config_fetcher.h"

#include <fmt/format.h>

#include <QString>
#include <QUrl>
#include <algorithm>
#include <memory>
#include <mutex>

#include "base/multi_inst.h"
#include "base/reg.h"
#include "common/config/display_defaults.h"
#include "common/config/model/json_parse.h"
#include "common/config_table/config_table.h"
#include "qtbaseex/http/sync_http_request.h"
#include "qtbaseex/log/categories.h"
#include "common/config/config_log.h"
#include "qtbaseex/qdebug_ext.h"

namespace config {
namespace {

using std::chrono::milliseconds;

constexpr char kLauncherPackage[] = "com.morvath.launcher";

constexpr char kRequestFailedSignature[] =
    "auto __cdecl `anonymous-namespace'::RequestAppConfig::<lambda_2>::operator ()(const class QString "
    "&,int,int) const";
constexpr char kBuildSignature[] =
    "class std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > __cdecl "
    "`anonymous-namespace'::BuildFetchRequestData(const class std::basic_string<char,struct "
    "std::char_traits<char>,class std::allocator<char> > &)";
constexpr char kParseSignature[] =
    "class std::optional<struct config::NativeConfig> __cdecl `anonymous-namespace'::ParseConfigResponse(const "
    "class std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &,const class "
    "std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &)";
constexpr char kUpdateSignature[] =
    "void __cdecl `anonymous-namespace'::UpdateConfigs(struct config::NativeConfig &)";
constexpr char kBudgetSignature[] =
    "class std::optional<struct config::NativeConfig> __cdecl config::FetchAppConfig(const class "
    "std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > &)";

struct FetcherState {
  std::mutex mutex;
  std::optional<milliseconds> budget;  // read once per run
  milliseconds spent{0};
  bool exhausted_logged = false;
  std::unique_ptr<config_table::ConfigTable> stored;  // LoadStoredConfig's table
};

FetcherState& State() {
  static FetcherState state;
  return state;
}

milliseconds BudgetLocked(FetcherState& s) {
  if (!s.budget) {
    const std::uint64_t value = base::reg::GetValue(
        HKEY_CURRENT_USER, MultiInst::Instance()->GetNimbrelEnvRegRoot(), kNetworkBudgetValue,
        static_cast<std::uint64_t>(kDefaultNetworkBudget.count()));
    // A nonsensical setting (over a day) keeps the default.
    s.budget = value <= 86'400'000u ? milliseconds(static_cast<std::int64_t>(value)) : kDefaultNetworkBudget;
  }
  return *s.budget;
}

void ChargeNetworkTime(milliseconds used) {
  FetcherState& s = State();
  std::lock_guard guard(s.mutex);
  s.spent += std::max(used, milliseconds(0));
}

// Names under the reserved "example" and "invalid" domains are never a
// service: they hold the place of one until the product environment names
// the real addresses. Such an address is dropped before the request, so a
// machine without a configured service sends no name query anywhere.
QString UnlessReservedName(const QString& address) {
  const QString host = QUrl(address).host().toLower();
  for (const char* domain : {"example", "invalid"}) {
    const QString d = QString::fromLatin1(domain);
    if (host == d || host.endsWith(QLatin1Char('.') + d)) return {};
  }
  return address;
}

// Reads the response as the service's format requires; throws the JSON
// library's exceptions on a missing key or a wrong type.
std::vector<std::pair<std::string, std::string>> ReadResponse(const nlohmann::json& j, bool& usable) {
  static_cast<void>(j.at("ret_code").get<std::int64_t>());
  const std::string ret_msg = j.at("ret_msg").get<std::string>();
  const nlohmann::json& entry = j.at("config");
  if (entry.contains("app_id")) static_cast<void>(entry.at("app_id").get<std::string>());
  const auto items = entry.at("items").get<std::vector<nlohmann::json>>();
  std::vector<std::vector<std::pair<std::string, std::string>>> lists;
  for (const nlohmann::json& item : items) {
    const auto key_values = item.at("key_values").get<std::vector<nlohmann::json>>();
    static_cast<void>(item.at("group").get<std::string>());
    auto& pairs = lists.emplace_back();
    for (const nlohmann::json& kv : key_values) {
      pairs.emplace_back(kv.at("key").get<std::string>(), kv.at("value").get<std::string>());
    }
  }
  usable = ret_msg == "ok" && !lists.empty();
  if (!usable) return {};
  return std::move(lists.front());
}

}  // namespace

milliseconds NetworkBudget() {
  FetcherState& s = State();
  std::lock_guard guard(s.mutex);
  return BudgetLocked(s);
}

milliseconds RemainingNetworkTime() {
  FetcherState& s = State();
  std::lock_guard guard(s.mutex);
  const milliseconds budget = BudgetLocked(s);
  return s.spent >= budget ? milliseconds(0) : budget - s.spent;
}

void ResetFetcherForTesting() {
  FetcherState& s = State();
  std::lock_guard guard(s.mutex);
  s.budget.reset();
  s.spent = milliseconds(0);
  s.exhausted_logged = false;
  s.stored.reset();
}

std::optional<NativeConfig> FetchAppConfig(const std::string& package) {
  std::optional<NativeConfig> result;
  for (int attempt = 0; attempt < kFetchAttempts && !result; ++attempt) {
    if (RemainingNetworkTime() <= milliseconds(0)) {
      FetcherState& s = State();
      bool log = false;
      {
        std::lock_guard guard(s.mutex);
        log = !s.exhausted_logged;
        s.exhausted_logged = true;
      }
      if (log) {
        CONFIG_LOG(warning, lc_post, kBudgetSignature)
            << fmt::format("configuration service time budget of {} ms spent, the remaining packages use "
                           "their stored documents",
                           NetworkBudget().count());
      }
      return std::nullopt;
    }
    result = RequestAppConfig(package);
  }
  if (!result) return std::nullopt;
  if (auto local_user = LoadStoredConfig(package, NativeConfigKind::LocalUserConfig)) {
    result->local_user_config = std::move(*local_user);
    UpdateConfigs(*result);
  }
  return result;
}

std::optional<NativeConfig> RequestAppConfig(const std::string& package) {
  const std::string body = BuildFetchRequestData(package);
  nlohmann::json header;  // null, as the header builder expects
  AsyncHttpRequest::GetBasicHeader(body, header);
  const std::string header_text = header.dump();

  // Each address may take its share of what is left of the run's budget.
  const milliseconds remaining = RemainingNetworkTime();
  qtbaseex::http::Timeouts timeouts = qtbaseex::http::DefaultTimeouts();
  timeouts.total = std::clamp(remaining / 2, milliseconds(1), std::max(timeouts.total, milliseconds(1)));
  timeouts.connect = std::min(timeouts.connect, timeouts.total);

  std::optional<NativeConfig> result;
  BackendUrl url = ConfigServiceUrl(QString::fromLatin1(kConfigServicePath));
  url.primary = UnlessReservedName(url.primary);
  url.alternative = UnlessReservedName(url.alternative);
  SyncHttpRequest request(url);
  request
      .OnSuccess([&](const QString& response, int /*http_code*/) {
        result = ParseConfigResponse(package, response.toStdString());
      })
      .OnFailure([&](const QString& /*message*/, int error_code, int http_code) {
        CONFIG_LOG(critical, lc_post, kRequestFailedSignature)
            << "request nimbrel config failed! [error_code]: " << error_code << ", [http_code]: " << http_code;
      });
  request.SetHeader(QString::fromStdString(header_text)).SetData(QString::fromStdString(body));
  request.SetTimeouts(timeouts);
  const auto started = std::chrono::steady_clock::now();
  request.Post();
  ChargeNetworkTime(std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started));
  return result;
}

std::string BuildFetchRequestData(const std::string& package) {
  static std::mutex build_mutex;
  std::lock_guard guard(build_mutex);
  try {
    nlohmann::json body;
    body["group"] = package;
    body["android"] = "Android13";
    return body.dump();
  } catch (const nlohmann::json::exception& e) {
    CONFIG_LOG(critical, lc_emulator_config, kBuildSignature)
        << (std::string("BuildFetchRequestData fail, error_message: ") + e.what());
  } catch (...) {
    CONFIG_LOG(critical, lc_emulator_config, kBuildSignature) << "BuildFetchRequestData fail";
  }
  return {};
}

std::optional<NativeConfig> ParseConfigResponse(const std::string& package, const std::string& response) {
  std::string error;
  const std::optional<nlohmann::json> j = ParseJsonDocument(response, &error);
  if (!j) {
    CONFIG_LOG(critical, lc_emulator_config, kParseSignature) << ("Config parse fail, error_message: " + error);
    return std::nullopt;
  }
  try {
    bool usable = false;
    auto pairs = ReadResponse(*j, usable);
    if (!usable) return std::nullopt;
    return MakeNativeConfig(package, pairs);
  } catch (const nlohmann::json::exception& e) {
    CONFIG_LOG(critical, lc_emulator_config, kParseSignature)
        << (std::string("Config parse fail, error_message: ") + e.what());
  }
  return std::nullopt;
}

NativeConfig MakeNativeConfig(const std::string& package,
                              const std::vector<std::pair<std::string, std::string>>& key_values) {
  NativeConfig nc;
  nc.package_name = package;
  for (const auto& [key, value] : key_values) {
    if (const auto kind = KindOfResponseKey(key)) FieldOf(nc, *kind) = value;
  }
  return nc;
}

void UpdateConfigs(NativeConfig& record) {
  try {
    std::string error;
    std::optional<nlohmann::json> host = ParseJsonDocument(record.host_config, &error);
    if (!host) throw std::runtime_error(error);
    if (record.package_name == kLauncherPackage) ApplyLauncherHostDefaults(record, *host);
    const bool notify = (host->contains("media_mini_window") && host->at("media_mini_window").get<bool>()) ||
                        (host->is_object() && host->contains("media_tray") && host->at("media_tray").get<bool>());
    if (notify) {
      std::optional<nlohmann::json> guest = ParseJsonDocument(record.guest_config, &error);
      if (!guest) throw std::runtime_error(error);
      (*guest)["notification"] = true;
      record.guest_config = guest->dump();
    }
  } catch (const std::exception& e) {
    CONFIG_LOG(critical, lc_emulator_config, kUpdateSignature)
        << (std::string("config filter, error message: ") + e.what());
  }
}

void ApplyLauncherHostDefaults(NativeConfig& record, nlohmann::json& host) {
  if (!host.contains("resolution")) host["resolution"] = nlohmann::json::array({320, 480});
  if (!host.contains("dpi")) host["dpi"] = GetVmDpi(kLauncherPackage);
  record.host_config = host.dump();
}

std::optional<std::string> LoadStoredConfig(const std::string& package, NativeConfigKind kind) {
  const auto format = StorageKeyFormat(kind);
  if (!format) return std::nullopt;
  const std::string key = fmt::format(fmt::runtime(*format), package);
  config_table::ConfigTable* table = nullptr;
  {
    FetcherState& s = State();
    std::lock_guard guard(s.mutex);
    if (!s.stored) s.stored = std::make_unique<config_table::ConfigTable>(config_table::ConfigTable::GetConfigsDbPath());
    table = s.stored.get();
  }
  const auto row = table->Load(key);
  if (!row) return std::nullopt;
  return row->value;
}

}  // namespace config
