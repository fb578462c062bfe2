// WMI questions on Windows: what each step answers, and COM on the calling
// thread left as it was found.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>

#include "platform/wmi.h"
#include "support/test_env.h"

namespace {

namespace wmi = platform::wmi;

constexpr platform::ErrorCode kNotFound = 0x80041002;         // WBEM_E_NOT_FOUND
constexpr platform::ErrorCode kInvalidNamespace = 0x8004100E;  // WBEM_E_INVALID_NAMESPACE
constexpr platform::ErrorCode kInvalidClass = 0x80041010;      // WBEM_E_INVALID_CLASS
constexpr platform::ErrorCode kChangedMode = 0x80010106;       // RPC_E_CHANGED_MODE

// Several questions in one process: the process's security holds for all.
TEST(WmiTest, EachStepsAnswer) {
  const std::wstring this_process =
      L"SELECT * FROM Win32_Process WHERE ProcessId = " + std::to_wstring(::GetCurrentProcessId());
  const struct {
    const wchar_t* name_space;
    std::wstring query;
    const wchar_t* property;
    wmi::Step failed_step;
    platform::ErrorCode error;
    std::vector<std::string> texts;
  } cases[] = {
      {L"ROOT\\CIMV2", this_process, L"Name", wmi::Step::kNone, 0, {"test_platform.exe"}},
      // A number is not a text.
      {L"ROOT\\CIMV2", this_process, L"ProcessId", wmi::Step::kNone, 0, {}},
      {L"ROOT\\CIMV2", this_process, L"NoSuchProperty", wmi::Step::kRead, kNotFound, {}},
      {L"ROOT\\NoSuchNamespace", this_process, L"Name", wmi::Step::kConnect, kInvalidNamespace, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.query.begin(), c.query.end()));
    const wmi::Answer answer = wmi::QueryTexts(c.name_space, c.query, c.property);
    EXPECT_EQ(answer.failed_step, c.failed_step);
    EXPECT_EQ(answer.error, c.error);
    EXPECT_EQ(answer.texts, c.texts);
  }

  // An answer of many objects: every process, this one among them.
  const wmi::Answer all = wmi::QueryTexts(L"ROOT\\CIMV2", L"SELECT * FROM Win32_Process", L"Name");
  EXPECT_NE(std::find(all.texts.begin(), all.texts.end(), "test_platform.exe"), all.texts.end());

  // The Security Center's products; Wine's instrumentation has no such
  // namespace.
  const wmi::Answer antivirus = wmi::QueryAntivirusDisplayNames();
  for (const std::string& name : antivirus.texts) EXPECT_FALSE(name.empty());
  EXPECT_EQ(antivirus.error == 0, antivirus.failed_step == wmi::Step::kNone);
  if (testenv::UnderWine()) {
    EXPECT_TRUE(antivirus.texts.empty());
    EXPECT_EQ(antivirus.error, kInvalidNamespace);
    EXPECT_EQ(antivirus.failed_step, wmi::Step::kConnect);
  }

  // A class the namespace does not have fails at the query or, as the
  // answer comes while it is read, at its first object. Wine answers it
  // with no objects.
  const wmi::Answer no_class = wmi::QueryTexts(L"ROOT\\CIMV2", L"SELECT * FROM NoSuchClass", L"Name");
  EXPECT_TRUE(no_class.texts.empty());
  if (testenv::UnderWine()) {
    EXPECT_EQ(no_class.failed_step, wmi::Step::kNone);
  } else {
    EXPECT_TRUE(no_class.failed_step == wmi::Step::kQuery || no_class.failed_step == wmi::Step::kNext);
    EXPECT_EQ(no_class.error, kInvalidClass);
  }
}

TEST(WmiTest, ComOnTheCallingThreadIsLeftAsItWasFound) {
  const struct {
    const char* name;
    std::optional<DWORD> apartment;  // COM on the thread before the question
    wmi::Step failed_step;
    platform::ErrorCode error;
  } cases[] = {
      {"no COM", std::nullopt, wmi::Step::kNone, 0},
      {"multithreaded", COINIT_MULTITHREADED, wmi::Step::kNone, 0},
      // The question needs the multithreaded apartment; a thread in a
      // single-threaded one is refused, and stays in it.
      {"single-threaded", COINIT_APARTMENTTHREADED, wmi::Step::kInitialize, kChangedMode},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    wmi::Answer answer;
    HRESULT before = S_OK, after = S_OK;
    std::thread([&] {
      if (c.apartment) before = ::CoInitializeEx(nullptr, *c.apartment);
      answer = wmi::QueryTexts(L"ROOT\\CIMV2", L"SELECT * FROM Win32_OperatingSystem", L"Caption");
      // S_FALSE: COM was still on for the thread; S_OK: it had been left off.
      after = ::CoInitializeEx(nullptr, c.apartment.value_or(COINIT_MULTITHREADED));
      if (SUCCEEDED(after)) ::CoUninitialize();
      if (c.apartment && SUCCEEDED(before)) ::CoUninitialize();
    }).join();
    ASSERT_EQ(before, S_OK);
    EXPECT_EQ(answer.failed_step, c.failed_step);
    EXPECT_EQ(answer.error, c.error);
    EXPECT_EQ(answer.texts.size(), c.failed_step == wmi::Step::kNone ? 1u : 0u);
    EXPECT_EQ(after, c.apartment ? S_FALSE : S_OK);
  }
}

}  // namespace
