// One move-only owner for every OS resource (descriptors, library handles,
// process handles): a value plus traits saying what "none" is and how to free
// it. Closed on every path; never copied.
//
//   struct FdTraits { static int InvalidValue() { return -1; } static void Free(int fd); };
//   using ScopedFd = ScopedGeneric<int, FdTraits>;
#pragma once

#include <utility>

namespace platform {

template <typename T, typename Traits>
class ScopedGeneric {
 public:
  ScopedGeneric() = default;
  explicit ScopedGeneric(T value) : value_(value) {}
  ~ScopedGeneric() { reset(); }
  ScopedGeneric(ScopedGeneric&& other) noexcept : value_(other.release()) {}
  ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedGeneric(const ScopedGeneric&) = delete;
  ScopedGeneric& operator=(const ScopedGeneric&) = delete;

  const T& get() const { return value_; }
  bool is_valid() const { return !(value_ == Traits::InvalidValue()); }
  explicit operator bool() const { return is_valid(); }

  // Gives up ownership without freeing.
  [[nodiscard]] T release() { return std::exchange(value_, Traits::InvalidValue()); }

  // Frees the held value (if any) and takes `value`.
  void reset(T value = Traits::InvalidValue()) {
    T old = std::exchange(value_, value);
    if (!(old == Traits::InvalidValue())) Traits::Free(old);
  }

 private:
  T value_ = Traits::InvalidValue();
};

}  // namespace platform
