#include "service.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace config_service {

namespace {

template <typename T>
bool Take(const nlohmann::json& j, const char* key, T& out, std::string* error) {
  auto it = j.find(key);
  if (it == j.end()) return true;
  try {
    out = it->get<T>();
    return true;
  } catch (const nlohmann::json::exception& e) {
    if (error) *error = std::string("bad value for ") + key + ": " + e.what();
    return false;
  }
}

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Behaviour> BehaviourFromJson(const nlohmann::json& j, std::string* error) {
  if (!j.is_object()) {
    if (error) *error = "the control text is not a JSON object";
    return std::nullopt;
  }
  static const char* const kKeys[] = {"generation", "refuse",  "fail_next", "fail_status",
                                      "status",     "delay_ms", "stall",    "malformed",
                                      "overlong",   "overlong_chunked", "ret_msg"};
  for (const auto& item : j.items()) {
    if (std::find_if(std::begin(kKeys), std::end(kKeys),
                     [&](const char* k) { return item.key() == k; }) == std::end(kKeys)) {
      if (error) *error = "unknown switch: " + item.key();
      return std::nullopt;
    }
  }
  Behaviour b;
  if (!Take(j, "generation", b.generation, error) || !Take(j, "refuse", b.refuse, error) ||
      !Take(j, "fail_next", b.fail_next, error) || !Take(j, "fail_status", b.fail_status, error) ||
      !Take(j, "status", b.status, error) || !Take(j, "delay_ms", b.delay_ms, error) ||
      !Take(j, "stall", b.stall, error) || !Take(j, "malformed", b.malformed, error) ||
      !Take(j, "overlong", b.overlong, error) ||
      !Take(j, "overlong_chunked", b.overlong_chunked, error) ||
      !Take(j, "ret_msg", b.ret_msg, error)) {
    return std::nullopt;
  }
  if (b.refuse != "none" && b.refuse != "primary" && b.refuse != "alternative" &&
      b.refuse != "both") {
    if (error) *error = "refuse must be none, primary, alternative or both";
    return std::nullopt;
  }
  const auto bad_status = [](int s) { return s != 0 && (s < 100 || s > 599); };
  if (bad_status(b.status) || b.fail_status < 100 || b.fail_status > 599 || b.fail_next < 0 ||
      b.delay_ms < 0 || b.overlong < 0) {
    if (error) *error = "a status, count, delay or size is out of range";
    return std::nullopt;
  }
  return b;
}

nlohmann::json BehaviourToJson(const Behaviour& b) {
  return {{"generation", b.generation}, {"refuse", b.refuse},
          {"fail_next", b.fail_next},   {"fail_status", b.fail_status},
          {"status", b.status},         {"delay_ms", b.delay_ms},
          {"stall", b.stall},           {"malformed", b.malformed},
          {"overlong", b.overlong},     {"overlong_chunked", b.overlong_chunked},
          {"ret_msg", b.ret_msg}};
}

bool IsSafePackageName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
  });
}

nlohmann::json BuildAnswer(const std::filesystem::path& docs, const std::string& package,
                           const std::string& ret_msg) {
  nlohmann::json items = nlohmann::json::array();
  std::error_code ec;
  const std::filesystem::path folder = docs / package;
  if (IsSafePackageName(package) && std::filesystem::is_directory(folder, ec)) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      if (entry.is_regular_file(ec) && entry.path().extension() == ".json") {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    nlohmann::json key_values = nlohmann::json::array();
    for (const auto& f : files) {
      key_values.push_back({{"key", f.stem().string()}, {"value", ReadWhole(f)}});
    }
    items.push_back({{"group", package}, {"key_values", std::move(key_values)}});
  }
  return {{"ret_code", 0},
          {"ret_msg", ret_msg},
          {"config", {{"app_id", package}, {"items", std::move(items)}}}};
}

std::string OverlongBody(const nlohmann::json& answer, std::int64_t size) {
  // {...answer..., "pad":"xxx"}: cut anywhere, the text no longer parses.
  std::string text = answer.dump();
  text.pop_back();  // the closing brace
  text += ",\"pad\":\"";
  const std::string tail = "\"}";
  const std::int64_t fill =
      size - static_cast<std::int64_t>(text.size()) - static_cast<std::int64_t>(tail.size());
  if (fill > 0) text.append(static_cast<std::size_t>(fill), 'x');
  text += tail;
  return text;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int hi = HexValue(text[i + 1]);
      const int lo = HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace config_service
