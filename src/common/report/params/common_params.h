// The common parameters every analytics event carries: the static ones are
// computed once at start-up, the volatile ones are getters the analytics SDK
// calls at each event, from any of its threads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace param {

using StaticParams = std::map<std::string, std::string>;
using VolatileParams = std::map<std::string, std::function<std::string()>>;

void InitStaticParams(StaticParams& params);
void InitVolatileParams(VolatileParams& getters);
// Stores the Hyper-V and virtualisation states the volatile getters report.
void CacheVirtualizationState();

// Pure pieces of the parameter texts.
// "de-AT" from a POSIX locale name ("de_AT.UTF-8@euro"); a part that is not
// a language or country code reads "DEFAULT_VALUE".
std::string LocaleText(std::string_view posix_locale);
// Installed memory in GiB: the firmware's KiB count when it has one, else the
// total physical memory rounded up.
std::string PhysicalMemoryText(std::optional<std::uint64_t> installed_kib,
                               std::uint64_t total_bytes);
std::string CpuVendorText(int cpu_type);
// Empty for the "unknown" client type 0xFFFFFFFF.
std::string ClientTypeText(std::uint32_t client_type);
// Empty for the "never stored" default -2.
std::string VirtualizationStateText(std::int64_t stored);

}  // namespace param
