// A device-identity SDK for the tests: what "a1" and "b" answer is set by the
// test through the control exports, and every call is recorded.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace {

struct State {
  std::mutex mutex;
  int a1_with_params = 0;
  int a1_without_params = 0;
  int b_result = 0;
  std::string record_text = "0123456789abcdefABCDEF";
  bool fill_whole_record = false;
  std::string calls;
};

State& S() {
  static State state;
  return state;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int a1(const char* app_key, int reserved, const char*,
                                              const char* params_json, const char*, bool full) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.calls += std::string("a1(") + (app_key ? app_key : "null") + "," + std::to_string(reserved) +
             "," + (params_json ? params_json : "null") + "," + (full ? "1" : "0") + ") ";
  return params_json != nullptr && params_json[0] != '\0' ? s.a1_with_params : s.a1_without_params;
}

__attribute__((visibility("default"))) int b(const char* app_key, char* record, int size) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.calls += std::string("b(") + (app_key ? app_key : "null") + "," + std::to_string(size) + ") ";
  if (s.b_result != 0) return s.b_result;
  if (record == nullptr || size <= 0) return -1;
  if (s.fill_whole_record) {
    std::memset(record, 'a', static_cast<std::size_t>(size));  // no terminator anywhere
  } else {
    std::memset(record, 0, static_cast<std::size_t>(size));
    std::memcpy(record, s.record_text.data(),
                std::min<std::size_t>(s.record_text.size(), static_cast<std::size_t>(size) - 1));
    // Bytes after the text are the SDK's own; they must not count.
    if (s.record_text.size() + 2 < static_cast<std::size_t>(size)) record[s.record_text.size() + 1] = 'Z';
  }
  return 0;
}

__attribute__((visibility("default"))) void FakeTavikConfigure(int a1_with_params,
                                                               int a1_without_params, int b_result,
                                                               const char* record_text,
                                                               int fill_whole_record) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.a1_with_params = a1_with_params;
  s.a1_without_params = a1_without_params;
  s.b_result = b_result;
  s.record_text = record_text;
  s.fill_whole_record = fill_whole_record != 0;
}

__attribute__((visibility("default"))) const char* FakeTavikCalls() {
  static std::string copy;
  State& s = S();
  std::lock_guard lock(s.mutex);
  copy = s.calls;
  return copy.c_str();
}

}  // extern "C"
