// The configuration service stand-in: behaviour switches and the pure parts
// (answer building, header decoding) kept apart from the sockets so they can
// be read on their own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace config_service {

inline constexpr char kEndpoint[] = "/v3/quarrion_get_corvale_conf";
inline constexpr char kHeaderField[] = "X-Quarrion-Header";

// What the service does; the same keys on the command line (--key=value) and
// in the control file (one JSON object; a missing key takes its default).
struct Behaviour {
  std::int64_t generation = 0;  // bumped by each control write, acknowledged back
  std::string refuse = "none";  // "none", "primary", "alternative", "both"
  int fail_next = 0;            // the next N requests are answered with fail_status
  int fail_status = 500;
  int status = 0;               // non-zero: every request answered with this status
  int delay_ms = 0;             // wait before answering
  bool stall = false;           // read the request, never answer
  bool malformed = false;       // answer a JSON text cut short
  std::int64_t overlong = 0;    // non-zero: answer a body of this many bytes
  bool overlong_chunked = false;  // ... without a Content-Length
  std::string ret_msg = "ok";

  bool Refuses(const std::string& role) const {
    return refuse == "both" || refuse == role;
  }
};

// Reads the switches from a JSON object; unknown keys and wrong types are an
// error (a typo in a test must not silently give the default).
std::optional<Behaviour> BehaviourFromJson(const nlohmann::json& j, std::string* error);
nlohmann::json BehaviourToJson(const Behaviour& b);

// A package name usable as a folder name: letters, digits, '.', '_', '-',
// not starting with '.', at most 255 bytes.
bool IsSafePackageName(const std::string& name);

// The answer for `package` from `<docs>/<package>/<response key>.json`: one
// item whose key/value pairs are the files in name order, the value being the
// file's text. An unknown package gets an "ok" answer with no items.
nlohmann::json BuildAnswer(const std::filesystem::path& docs, const std::string& package,
                           const std::string& ret_msg);

// A body of exactly `size` bytes that is a complete JSON answer only when
// read whole.
std::string OverlongBody(const nlohmann::json& answer, std::int64_t size);

// Undoes the request's percent-encoding of the header text.
std::string PercentDecode(const std::string& text);

}  // namespace config_service
