// Fetching one package's configuration documents from the configuration
// service, and reading the documents an earlier run stored.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/data/native_config.h"

namespace config {

inline constexpr char kConfigServicePath[] = "/v3/quarrion_get_corvale_conf";
inline constexpr int kFetchAttempts = 3;

// Network time one run may spend on the service before the remaining
// packages take their stored documents at once: a service that accepts
// connections and never answers must not hold the helper (and with it the
// client's configuration) for attempts x packages x time-outs. The product
// environment may set it (`Software\<product>\Env`, value
// "ConfigRefreshBudgetMs", milliseconds).
inline constexpr std::chrono::milliseconds kDefaultNetworkBudget{60000};
inline constexpr wchar_t kNetworkBudgetValue[] = L"ConfigRefreshBudgetMs";

// Up to three requests; then the stored local user configuration joins the
// record (and UpdateConfigs runs) when there is one. None when no request
// gave a record or the run's network budget is spent.
std::optional<NativeConfig> FetchAppConfig(const std::string& package);
// One request.
std::optional<NativeConfig> RequestAppConfig(const std::string& package);
// {"android":"Android13","group":<package>}; empty on failure.
std::string BuildFetchRequestData(const std::string& package);
std::optional<NativeConfig> ParseConfigResponse(const std::string& package, const std::string& response);
NativeConfig MakeNativeConfig(const std::string& package,
                              const std::vector<std::pair<std::string, std::string>>& key_values);
void UpdateConfigs(NativeConfig& record);
void ApplyLauncherHostDefaults(NativeConfig& record, nlohmann::json& host);
// The stored text of one document of a package.
std::optional<std::string> LoadStoredConfig(const std::string& package, NativeConfigKind kind);

// The budget of this run: what the product environment sets, else the default.
std::chrono::milliseconds NetworkBudget();
// Network time still available to this run (never negative).
std::chrono::milliseconds RemainingNetworkTime();

// Forgets the run's spent time and the stored-document table, as a fresh
// process would (tests switch product homes).
void ResetFetcherForTesting();

}  // namespace config
