// The one result shape of the platform API: a value or a Windows error code.
//
//   Result<std::string> r = ReadSystemText(path);
//   if (!r) return r.error();          // an I/O error, never "absent"
//   Use(*r);
//
// Absence that is not an error is part of the value (Result<std::optional<T>>),
// so a caller can always tell "there is none" from "could not be read".
// Operations that produce nothing return Result<void> or, where the callers
// report the number itself (events carry it), a plain ErrorCode (0 = success).
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "platform/error.h"

namespace platform {

// Tags an error code so Result<ErrorCode> stays unambiguous.
struct Failure {
  ErrorCode code;
};
inline constexpr Failure Fail(ErrorCode code) { return Failure{code == 0 ? kErrorGenFailure : code}; }

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Failure failure) : error_(failure.code == 0 ? kErrorGenFailure : failure.code) {}  // NOLINT

  bool ok() const { return error_ == kErrorSuccess; }
  explicit operator bool() const { return ok(); }
  // 0 when there is a value.
  ErrorCode error() const { return error_; }

  // Calling these without a value is a programming error (checked in debug).
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

  T value_or(T fallback) const& { return ok() ? *value_ : std::move(fallback); }
  // For move-only values: `Load(path).value_or(Library())`.
  T value_or(T fallback) && { return ok() ? std::move(*value_) : std::move(fallback); }

 private:
  std::optional<T> value_;
  ErrorCode error_ = kErrorSuccess;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : error_(failure.code == 0 ? kErrorGenFailure : failure.code) {}  // NOLINT
  // From a plain code: 0 is success.
  static Result FromCode(ErrorCode code) { return code == 0 ? Result() : Result(Failure{code}); }

  bool ok() const { return error_ == kErrorSuccess; }
  explicit operator bool() const { return ok(); }
  ErrorCode error() const { return error_; }

 private:
  ErrorCode error_ = kErrorSuccess;
};

}  // namespace platform
