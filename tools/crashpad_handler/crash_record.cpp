#include "crash_record.h"

#include <cstdio>
#include <ctime>

namespace crash_handler {

namespace {

std::string Hex(std::uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string IsoTime(std::int64_t time_ms) {
  const std::time_t seconds = static_cast<std::time_t>(time_ms / 1000);
  std::tm utc {};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(time_ms % 1000));
  return text;
}

}  // namespace

std::string BuildCrashRecord(const nlohmann::json& registration, const CrashFacts& crash,
                             const std::vector<Frame>& frames, std::int64_t time_ms,
                             std::uint64_t limit) {
  auto text_of = [&](const char* key) -> std::string {
    const auto it = registration.find(key);
    return it != registration.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  nlohmann::json record = {
      {"component", text_of("component")},
      {"pid", crash.pid},
      {"tid", crash.tid},
      {"signal", crash.signal},
      {"signal_name", crash.signal_name},
      {"signal_code", crash.signal_code},
      {"fault_address", Hex(crash.fault_address)},
      {"time", IsoTime(time_ms)},
      {"time_ms", time_ms},
      {"version", text_of("version")},
      {"main_version", text_of("main_version")},
      {"package", text_of("package")},
      {"app_id", text_of("app_id")},
      {"machine_guid", text_of("machine_guid")},
      {"pipe", text_of("pipe")},
      {"truncated", false},
  };
  const auto object_of = [&](const char* key) {
    const auto it = registration.find(key);
    return it != registration.end() && it->is_object() ? *it : nlohmann::json::object();
  };
  record["custom"] = object_of("custom");
  record["process_registration"] = object_of("registration");
  nlohmann::json backtrace = nlohmann::json::array();
  for (const Frame& frame : frames) {
    nlohmann::json entry = {{"pc", Hex(frame.pc)},
                            {"function", frame.function},
                            {"module", frame.module},
                            {"module_offset", Hex(frame.module_offset)}};
    if (!frame.source_file.empty()) {
      entry["file"] = frame.source_file;
      entry["line"] = frame.line;
    }
    backtrace.push_back(std::move(entry));
  }
  record["backtrace"] = std::move(backtrace);

  const auto dump = [&] {
    return record.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  std::string text = dump();
  if (limit == 0 || text.size() <= limit) return text;

  record["truncated"] = true;
  // Innermost frames say most about the crash: the outer ones go first.
  auto& frames_json = record["backtrace"];
  while (!frames_json.empty()) {
    frames_json.erase(frames_json.size() - 1);
    text = dump();
    if (text.size() <= limit) return text;
  }
  record["custom"] = nlohmann::json::object();
  text = dump();
  if (text.size() <= limit) return text;
  record["process_registration"] = nlohmann::json::object();
  text = dump();
  return text.size() <= limit ? text : std::string();
}

}  // namespace crash_handler
