// A per-user once-only mark, kept as an integer value named after the mark
// under HKCU\<product registry root>\Mark.
#pragma once

#include <string>
#include <string_view>

class RunOnceMark {
 public:
  explicit RunOnceMark(std::wstring_view name);
  // True when the mark was already set; otherwise sets it and returns false.
  bool TestAndSet();

 private:
  std::wstring key_;
  std::wstring name_;
};
