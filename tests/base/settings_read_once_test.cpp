// The product environment's settings are read once per run; what another
// product process may change meanwhile (per-application values, probe
// caches) is read at every use.
#include <gtest/gtest.h>

#include "base/multi_inst.h"
#include "base/reg.h"
#include "base/yvok_guid.h"
#include "platform/registry.h"
#include "support/test_env.h"

namespace {

namespace registry = platform::registry;

class SettingsReadOnceTest : public testenv::ProductTest {};

// A write beside base::reg stands for another process writing while this
// one runs.
void WriteElsewhere(const std::wstring& key, const wchar_t* name, std::uint32_t value) {
  ASSERT_EQ(registry::WriteDword(registry::Root::kCurrentUser, key, name, value), 0u);
}

TEST_F(SettingsReadOnceTest, EnvironmentIsReadOnceAndAgainAfterThisProcessWrites) {
  MultiInst* inst = MultiInst::Instance();
  const std::wstring root = inst->GetComponentRegRoot(0);
  EXPECT_EQ(inst->GetChannel(), 0u);
  EXPECT_EQ(inst->GetImageType(), 0);
  WriteElsewhere(root, L"Channel", 7);
  WriteElsewhere(root, L"ImageType", 3);
  EXPECT_EQ(inst->GetChannel(), 0u);  // absent when first read, and kept so
  EXPECT_EQ(inst->GetImageType(), 0);

  // This process's own write is seen at once, and the other values with it.
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, root, L"Channel", 9));
  EXPECT_EQ(inst->GetChannel(), 9u);
  EXPECT_EQ(inst->GetImageType(), 3);

  // The machine identifier stays what it was first read as.
  const std::string guid = base::yvok_guid::GetYvokGuid();
  ASSERT_FALSE(guid.empty());
  ASSERT_EQ(registry::WriteString(registry::Root::kLocalMachine, root, L"MachineGuid", L"OTHER"), 0u);
  EXPECT_EQ(base::yvok_guid::GetYvokGuid(), guid);
}

TEST_F(SettingsReadOnceTest, ValuesOtherProcessesChangeAreReadAtEveryUse) {
  const std::wstring app = MultiInst::Instance()->GetComponentRegRoot(1) + L"\\Apps\\com.example.app";
  const std::wstring probes = MultiInst::Instance()->GetComponentRegRoot(0);
  for (std::uint32_t v : {1u, 2u}) {
    WriteElsewhere(app, L"Clarity", v);
    WriteElsewhere(probes, L"VtState", v);
    EXPECT_EQ(base::reg::GetValue(HKEY_CURRENT_USER, app, L"Clarity", std::uint64_t{0}), v);
    EXPECT_EQ(base::reg::GetValue(HKEY_CURRENT_USER, probes, L"VtState", std::uint64_t{0}), v);
  }
}

TEST_F(SettingsReadOnceTest, AnotherHomeHasItsOwnSettings) {
  MultiInst* inst = MultiInst::Instance();
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, inst->GetComponentRegRoot(1), L"Version", L"2.0.0.0"));
  EXPECT_EQ(inst->GetComponentVersion(1), L"2.0.0.0");
  const std::string first_guid = base::yvok_guid::GetYvokGuid();
  testenv::ProductHome other;  // points the instance and the registry elsewhere
  EXPECT_EQ(inst->GetComponentVersion(1), L"1.0.0.0");
  EXPECT_NE(base::yvok_guid::GetYvokGuid(), first_guid);
}

}  // namespace
