// The field-table machinery of the configuration documents.
//
// A record is declared once, as a list of members:
//
//   #define CONFIG_EXAMPLE_MEMBERS(M)
//     M(OPT, bool, enable, "enable")
//     M(OPT, std::int32_t, interval, "interval", 60000)
//     M(REQ, std::string, name, "name")
//
// (with a line continuation after each line)
//
//   struct Example {
//     CONFIG_RECORD(Example, CONFIG_EXAMPLE_MEMBERS)
//   };
//
// Each line gives the presence (OPT: held as std::optional, absent unless a
// default follows; REQ: a plain value that must be in the document), the C++
// type, the member name, the JSON key and an optional default. The C++ type
// decides the value kind:
//
//   bool                 boolean      JSON true/false only
//   std::int32_t         integer      any number (truncated), boolean as 0/1
//   std::uint32_t        unsigned     as integer
//   std::uint64_t        unsigned 64  any number; a boolean is refused
//   std::uint8_t         byte         as integer, modulo 256
//   float                float        any number, boolean as 0/1
//   an enum type         enum         any number (truncated); boolean refused
//   Size                 size         array, elements 0 and 1 read as integer
//   std::string          text         string only
//   std::vector<T>       list         array; one bad element fails the list
//   nlohmann::json       JSON value   anything, held unchanged
//   a CONFIG_RECORD      section      object read into a fresh record
//
// Reading and writing both follow from the list (ReadRecord/WriteRecord), so
// a member cannot be read under one key and written under another.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace config {

// A (first, second) pair of signed 32-bit values: sizes, aspect ratios.
using Size = std::pair<std::int32_t, std::int32_t>;

// An enumeration code whose meaning belongs to the client and emulator that
// read the document; this process only carries it.
enum class EnumCode : std::int32_t {};

constexpr std::int32_t ToInt(EnumCode code) { return static_cast<std::int32_t>(code); }

namespace json_fields {

template <class T>
concept Record = requires { typename T::IsConfigRecord; };

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// ---- reading ------------------------------------------------------------
// Every reader answers false on a value it cannot take, and then leaves its
// output in an unspecified state: callers read into a scratch value.

// Integral kinds. Out-of-range numbers are decided here, once for every
// member: an integer wraps to the target width (a byte is modulo 256,
// "max_notification_count": 4294967298 reads as 2), because that is what the
// JSON library's own typed access does and what every other reader of these
// documents therefore sees. A floating number is truncated toward zero and
// then wraps the same way; beyond every 64-bit integer (1e300), where the
// library's cast would be undefined behaviour, it is refused and the member
// keeps its default.
template <std::integral Int>
bool ReadInteger(const nlohmann::json& j, Int& out, bool accept_boolean) {
  using json = nlohmann::json;
  switch (j.type()) {
    case json::value_t::number_integer:
      out = static_cast<Int>(*j.get_ptr<const json::number_integer_t*>());
      return true;
    case json::value_t::number_unsigned:
      out = static_cast<Int>(*j.get_ptr<const json::number_unsigned_t*>());
      return true;
    case json::value_t::number_float: {
      const double d = std::trunc(*j.get_ptr<const json::number_float_t*>());
      if (d >= 0.0 && d < 18446744073709551616.0) {
        out = static_cast<Int>(static_cast<std::uint64_t>(d));
        return true;
      }
      if (d < 0.0 && d >= -9223372036854775808.0) {
        out = static_cast<Int>(static_cast<std::int64_t>(d));
        return true;
      }
      return false;  // NaN cannot come from a parser, but a built value may carry it
    }
    case json::value_t::boolean:
      if (!accept_boolean) return false;
      out = static_cast<Int>(*j.get_ptr<const json::boolean_t*>() ? 1 : 0);
      return true;
    default:
      return false;
  }
}

inline bool ReadValue(const nlohmann::json& j, bool& out) {
  if (!j.is_boolean()) return false;
  out = j.get<bool>();
  return true;
}

inline bool ReadValue(const nlohmann::json& j, std::int32_t& out) { return ReadInteger(j, out, true); }
inline bool ReadValue(const nlohmann::json& j, std::uint32_t& out) { return ReadInteger(j, out, true); }
inline bool ReadValue(const nlohmann::json& j, std::uint8_t& out) { return ReadInteger(j, out, true); }
inline bool ReadValue(const nlohmann::json& j, std::uint64_t& out) { return ReadInteger(j, out, false); }

inline bool ReadValue(const nlohmann::json& j, float& out) {
  double d = 0;
  if (j.is_number_float()) {
    d = *j.get_ptr<const nlohmann::json::number_float_t*>();
  } else if (j.is_number_integer() && !j.is_number_unsigned()) {
    d = static_cast<double>(*j.get_ptr<const nlohmann::json::number_integer_t*>());
  } else if (j.is_number_unsigned()) {
    d = static_cast<double>(*j.get_ptr<const nlohmann::json::number_unsigned_t*>());
  } else if (j.is_boolean()) {
    d = j.get<bool>() ? 1.0 : 0.0;
  } else {
    return false;
  }
  // Out of single-precision range would be undefined; such a member is bad.
  if (!std::isfinite(d) || std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) {
    return false;
  }
  out = static_cast<float>(d);
  return true;
}

template <class E>
  requires std::is_enum_v<E>
bool ReadValue(const nlohmann::json& j, E& out) {
  static_assert(sizeof(E) == sizeof(std::int32_t), "enumeration codes are 32-bit");
  std::int32_t code = 0;
  if (!ReadInteger(j, code, false)) return false;
  out = static_cast<E>(code);
  return true;
}

inline bool ReadValue(const nlohmann::json& j, Size& out) {
  if (!j.is_array() || j.size() < 2) return false;
  return ReadValue(j[0], out.first) && ReadValue(j[1], out.second);
}

inline bool ReadValue(const nlohmann::json& j, std::string& out) {
  if (!j.is_string()) return false;
  out = *j.get_ptr<const std::string*>();
  return true;
}

inline bool ReadValue(const nlohmann::json& j, nlohmann::json& out) {
  out = j;
  return true;
}

template <class T>
bool ReadValue(const nlohmann::json& j, std::vector<T>& out);
template <Record R>
bool ReadValue(const nlohmann::json& j, R& out);

// Optional member: absent key, null or a bad value leave the default. A
// section starts from the member's default when it has one (a bar record of
// the function bars), otherwise from the record's own defaults.
template <class T>
bool ReadMember(const nlohmann::json& j, const char* key, std::optional<T>& member) {
  if (!j.is_object()) return true;
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return true;
  T fresh = member.has_value() ? *member : T{};
  if (ReadValue(*it, fresh)) member = std::move(fresh);
  return true;
}

// Required member: missing, null or bad fails the enclosing record.
template <class T>
bool ReadMember(const nlohmann::json& j, const char* key, T& member) {
  if (!j.is_object()) return false;
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return false;
  return ReadValue(*it, member);
}

template <class T>
bool ReadValue(const nlohmann::json& j, std::vector<T>& out) {
  if (!j.is_array()) return false;
  out.clear();
  out.reserve(j.size());
  for (const auto& element : j) {
    T value{};
    if (!ReadValue(element, value)) return false;
    out.push_back(std::move(value));
  }
  return true;
}

// Reads the members of a record in place; false when a required member
// failed. Members of a value that is not an object are simply not looked up.
template <Record R>
bool ReadValue(const nlohmann::json& j, R& out) {
  return R::VisitMembers([&j](const char* key, auto& member) { return ReadMember(j, key, member); },
                         out);
}

// Reads a whole document: starts from the defaults and never fails.
template <Record R>
R ReadRecord(const nlohmann::json& j) {
  R record{};
  R scratch = record;
  // A document has no required top-level member, so this only fails on a
  // record used out of place; the defaults are the answer then.
  if (ReadValue(j, scratch)) record = std::move(scratch);
  return record;
}

// ---- writing ------------------------------------------------------------

inline nlohmann::json WriteValue(bool v) { return v; }
inline nlohmann::json WriteValue(std::int32_t v) { return v; }
inline nlohmann::json WriteValue(std::uint32_t v) { return v; }
inline nlohmann::json WriteValue(std::uint8_t v) { return static_cast<std::uint32_t>(v); }
inline nlohmann::json WriteValue(std::uint64_t v) { return v; }
inline nlohmann::json WriteValue(float v) { return static_cast<double>(v); }
template <class E>
  requires std::is_enum_v<E>
nlohmann::json WriteValue(E v) {
  return static_cast<std::int32_t>(v);
}
inline nlohmann::json WriteValue(const Size& v) { return nlohmann::json::array({v.first, v.second}); }
inline nlohmann::json WriteValue(const std::string& v) { return v; }
inline nlohmann::json WriteValue(const nlohmann::json& v) { return v; }
template <Record R>
nlohmann::json WriteValue(const R& record);

template <class T>
nlohmann::json WriteValue(const std::vector<T>& list) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& v : list) out.push_back(WriteValue(static_cast<const T&>(v)));
  return out;
}

template <class T>
void WriteMember(nlohmann::json& out, const char* key, const std::optional<T>& member) {
  if (member.has_value()) out[key] = WriteValue(*member);
}

template <class T>
void WriteMember(nlohmann::json& out, const char* key, const T& member) {
  out[key] = WriteValue(member);
}

// Present members only; the default object type keeps keys sorted.
template <Record R>
nlohmann::json WriteValue(const R& record) {
  nlohmann::json out = nlohmann::json::object();
  R::VisitMembers(
      [&out](const char* key, const auto& member) {
        WriteMember(out, key, member);
        return true;
      },
      record);
  return out;
}

template <Record R>
nlohmann::json WriteRecord(const R& record) {
  return WriteValue(record);
}

// Compact text, non-ASCII written as UTF-8; text that is not UTF-8 (only a
// value built in code can hold it) is replaced instead of throwing.
inline std::string DumpCompact(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// ---- merging ------------------------------------------------------------

// Every member present in `patch` replaces the member of `base`.
template <Record R>
void MergePresentMembers(R& base, const R& patch) {
  R::VisitMembers(
      [](const char*, auto& to, const auto& from) {
        if constexpr (IsOptional<std::decay_t<decltype(from)>>::value) {
          if (from.has_value()) to = from;
        } else {
          to = from;
        }
        return true;
      },
      base, patch);
}

}  // namespace json_fields
}  // namespace config

// ---- declaration macros -----------------------------------------------------

#define CONFIG_MEMBER_TYPE_OPT(type) std::optional<type>
#define CONFIG_MEMBER_TYPE_REQ(type) type
#define CONFIG_MEMBER_TYPE(presence, type) CONFIG_MEMBER_TYPE_##presence(type)

#define CONFIG_MEMBER_DECLARE(presence, type, name, key, ...) \
  CONFIG_MEMBER_TYPE(presence, type) name = CONFIG_MEMBER_TYPE(presence, type)(__VA_ARGS__);

#define CONFIG_MEMBER_VISIT(presence, type, name, key, ...) &&fn(key, selves.name...)

// Declares the members of a record, their visitor and equality.
#define CONFIG_RECORD(Name, MEMBERS)                                     \
  MEMBERS(CONFIG_MEMBER_DECLARE)                                         \
  using IsConfigRecord = void;                                           \
  template <class Fn, class... Selves>                                   \
  static bool VisitMembers(Fn&& fn, Selves&... selves) {                 \
    return true MEMBERS(CONFIG_MEMBER_VISIT);                            \
  }                                                                      \
  friend bool operator==(const Name&, const Name&) = default;
