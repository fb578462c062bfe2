// The configuration manager in a fresh product home: what it stores in
// Configs.db, what it derives, and the guest files it writes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>

#include "base/reg.h"
#include "common/config/display_defaults.h"
#include "common/config/model/config_derivation.h"
#include "common/config/nimbrel_config_manager.h"
#include "common/data/config_fetcher.h"
#include "common/setting_helper/setting_helper.h"
#include "support/configs_db.h"
#include "support/debugger_capture.h"
#include "support/log_recorder.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using config::NativeConfig;
using config::NimbrelConfigManager;

constexpr char kPkg[] = "com.example.game";
constexpr char kNimbrel[] = "com.morvath.nimbrel";

class ManagerTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    NimbrelConfigManager::ResetInstanceForTesting();
    config::ResetFetcherForTesting();
  }
  void TearDown() override {
    NimbrelConfigManager::ResetInstanceForTesting();
    config::ResetFetcherForTesting();
  }
  NimbrelConfigManager& M() { return NimbrelConfigManager::Instance(); }

  NativeConfig Record(const std::string& guest, const std::string& host = "{}",
                      const std::string& local = "{}", const std::string& package = kPkg) {
    NativeConfig nc;
    nc.package_name = package;
    nc.guest_config = guest;
    nc.host_config = host;
    nc.local_user_config = local;
    return nc;
  }
  // Insert, then write the guest file; returns its text ("" when absent).
  std::string Apply(const NativeConfig& nc) {
    M().InsertAppConfig(nc);
    M().ApplyGuestConfig(nc.package_name);
    const fs::path file = testenv::GuestFile(home(), nc.package_name);
    return fs::exists(file) ? testenv::ReadFile(file) : std::string();
  }
  void SetAppValue(const wchar_t* name, std::uint64_t value, const std::string& package = kPkg) {
    ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, config::AppSettingsRegSubkey(package), name, value));
  }
  bool AppValueExists(const wchar_t* name, const std::string& package = kPkg) {
    return base::reg::IsExist(HKEY_CURRENT_USER, config::AppSettingsRegSubkey(package), name);
  }
};

TEST_F(ManagerTest, GuestWithoutMultipaneIsWrittenExactlyAsStored) {
  testenv::LogRecorder log;
  const std::string text = "{ \"b\": 2,\n  \"a\": \"\xc3\xa9\" }";
  EXPECT_EQ(Apply(Record(text)), text);
  EXPECT_FALSE(M().GetVramSnapshot(kPkg).has_value());  // no patch, no reading
  EXPECT_EQ(log.Count("patch guest config"), 0u);
}

TEST_F(ManagerTest, MultipanePatchTable) {
  struct Case {
    const char* name;
    const char* guest;
    const char* host;
    const char* local;
    std::uint64_t split_switch;  // 2: leave the registry alone
    const char* expected_pane;
  };
  const char* kOffered = R"({"function_config":{"breadmenu_gray_config":[{"item_id":209,"need_gray":0}]}})";
  const Case cases[] = {
      {"mode 2: off whatever the document says", R"({"multipane":{"enable":"true"}})", "{}", "{}", 2,
       R"({"dragBar":"false","enable":"false","orientation":1,"ratio":"0.5"})"},
      {"offered, document on", R"({"multipane":{"enable":"true"}})", kOffered, "{}", 2,
       R"({"dragBar":"false","enable":"true","orientation":1,"ratio":"0.5"})"},
      {"offered, boolean true is no text", R"({"multipane":{"enable":true}})", kOffered, "{}", 2,
       R"({"dragBar":"false","enable":"false","orientation":1,"ratio":"0.5"})"},
      {"offered, capital True", R"({"multipane":{"enable":"True"}})", kOffered, "{}", 2,
       R"({"dragBar":"false","enable":"false","orientation":1,"ratio":"0.5"})"},
      {"offered, user said yes", R"({"multipane":{"enable":"false"}})", kOffered, R"({"split_screen":true})", 2,
       R"({"dragBar":"false","enable":"true","orientation":1,"ratio":"0.5"})"},
      {"offered, user said no", R"({"multipane":{"enable":"true"}})", kOffered, R"({"split_screen":false})", 2,
       R"({"dragBar":"false","enable":"false","orientation":1,"ratio":"0.5"})"},
      {"existing members stay", R"({"multipane":{"enable":"true","ratio":"0.3","dragBar":"true","orientation":"x"}})",
       kOffered, "{}", 2, R"({"dragBar":"true","enable":"true","orientation":"x","ratio":"0.3"})"},
      {"rotation 0 gives orientation 0", R"({"multipane":{"enable":"true"}})", R"({"rotation":0})", "{}", 2,
       R"({"dragBar":"false","enable":"false","orientation":0,"ratio":"0.5"})"},
      {"the user's orientation first", R"({"multipane":{"enable":"true"}})", R"({"rotation":0})",
       R"({"orientation":7})", 2, R"({"dragBar":"false","enable":"false","orientation":7,"ratio":"0.5"})"},
      {"global switch only logged", R"({"multipane":{"enable":"true"}})", kOffered, "{}", 0,
       R"({"dragBar":"false","enable":"true","orientation":1,"ratio":"0.5"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.split_switch != 2) {
      base::reg::SetValue(HKEY_CURRENT_USER, setting_helper::kQuarrionSettingsKey, L"SplitScreen", c.split_switch);
    }
    const std::string written = Apply(Record(c.guest, c.host, c.local));
    const auto j = nlohmann::json::parse(written, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << written;
    EXPECT_EQ(j.at("multipane").dump(), c.expected_pane);
    EXPECT_EQ(written, j.dump());  // compact
  }
}

TEST_F(ManagerTest, PatchKeepsOtherMembersAndLogsTheUnpatchedText) {
  testenv::LogRecorder log;
  testenv::DebuggerCapture debugger;
  const std::string written = Apply(Record(R"({"z":[1,2],"multipane":{"enable":"true"},"notification":true})"));
  EXPECT_EQ(written, R"({"multipane":{"dragBar":"false","enable":"false","orientation":1,"ratio":"0.5"},"notification":true,"z":[1,2]})");
  // No texture-compression choice yet: the free video memory is read and kept.
  const auto snap = M().GetVramSnapshot(kPkg);
  ASSERT_TRUE(snap.has_value());
  EXPECT_GT(snap->taken_at, 0);
  EXPECT_EQ(log.Count("[PatchGuestConfig] auto-tune free vram check pkg=com.example.game free_mb="), 1u);
  EXPECT_EQ(log.Count("[PatchGuestConfig] cache vram snapshot pkg=com.example.game"), 1u);
  // Both readings also go to the debugger output, each a line of its own.
  const std::string values =
      "pkg=com.example.game free_mb=" + std::to_string(snap->free_mb) + " gpu_kind=" + snap->gpu_kind;
  EXPECT_EQ(debugger.texts(),
            (std::vector<std::string>{"[PatchGuestConfig] auto-tune free vram check " + values +
                                          " threshold_mb=2048 hit=" + (snap->free_mb < 2048 ? "true" : "false") + "\n",
                                      "[PatchGuestConfig] cache vram snapshot " + values + "\n"}));
}

TEST_F(ManagerTest, AChosenTextureCompressionSkipsTheVramReading) {
  Apply(Record(R"({"multipane":{"enable":"true"}})", "{}", R"({"texture_compression":false})"));
  EXPECT_FALSE(M().GetVramSnapshot(kPkg).has_value());
}

TEST_F(ManagerTest, EmptyOrBrokenGuestText) {
  testenv::LogRecorder log;
  EXPECT_EQ(Apply(Record("")), "");
  EXPECT_FALSE(fs::exists(testenv::GuestFile(home(), kPkg)));
  EXPECT_EQ(log.Count("update local user config split screen error:"), 1u);

  const std::string broken = R"({"multipane": {"enable": "tr)";
  EXPECT_EQ(Apply(Record(broken)), broken);
  EXPECT_EQ(log.Count("update local user config split screen error:"), 2u);
}

TEST_F(ManagerTest, ANameThatIsNoPackageNeverBecomesAFile) {
  testenv::LogRecorder log;
  for (const std::string bad : {"../escape", "a/b", "..", "com.x/../../y"}) {
    M().InsertAppConfig(Record(R"({"x":1})", "{}", "{}", bad));
    M().ApplyGuestConfig(bad);
  }
  EXPECT_FALSE(fs::exists(home() / "shared" / "escape.conf"));
  EXPECT_FALSE(fs::exists(home() / "shared" / "y.conf"));
  EXPECT_FALSE(fs::exists(home() / "y.conf"));
  EXPECT_EQ(log.Count("failed to save guest config to disk:"), 4u);
}

TEST_F(ManagerTest, UnknownPackageHostIsLoggedDefault) {
  testenv::LogRecorder log;
  const auto host = M().GetAppHostConfig("com.never.inserted");
  EXPECT_FALSE(host.rotation.has_value());
  ASSERT_EQ(log.Count("call GetAppHostConfig, return empty, package_name=com.never.inserted"), 1u);
  EXPECT_EQ(log.Containing("call GetAppHostConfig")[0].category, "quarrion.emulator_config");
  // The other readers stay silent.
  M().GetAppLocalUserConfig("com.never.inserted");
  M().GetAppGuestConfig("com.never.inserted");
  M().GetGlobalConfig();
  EXPECT_EQ(log.Count("call GetAppHostConfig"), 1u);
}

TEST_F(ManagerTest, BrokenDocumentsAreLoggedAndTheInsertGoesOn) {
  testenv::LogRecorder log;
  SetAppValue(L"Clarity", 2);
  M().InsertAppConfig(Record(R"({"a":1})", "{not json", R"({"volume":)"));
  // The parsing stopped at the host text.
  EXPECT_EQ(log.Count("json parse fail, error: "), 1u);
  // The migration still ran, for this run only: the stored document was not
  // read, so it is not replaced, and the value waits in the registry.
  EXPECT_EQ(M().GetAppLocalUserConfig(kPkg).clarity, config::Clarity::k2560x1440);
  EXPECT_FALSE(testenv::ConfigValue(home(), std::string("nimbrel.") + kPkg + ".local_user_config").has_value());
  EXPECT_TRUE(AppValueExists(L"Clarity"));
}

// A host text that is not JSON ends the parsing: the stored local user
// document and the global document of that insert are not read. The guest
// file then takes the default orientation, not the user's stored one, and the
// stored choices survive both the insert and a later patch.
TEST_F(ManagerTest, ABrokenHostTextLeavesTheLaterDocumentsUnread) {
  const std::string key = std::string("nimbrel.") + kNimbrel + ".local_user_config";
  const std::string stored = R"({"orientation":7,"volume":5})";
  struct Case {
    const char* label;
    const char* host;
    int orientation;
    bool global_read;
    const char* stored_after;
    bool registry_value_left;
    std::size_t warnings;
  };
  const Case cases[] = {
      {"host JSON", "{}", 7, true, R"({"clarity":2,"orientation":7,"volume":5})", false, 0},
      {"host cut off", R"({"rotation":)", 1, false, R"({"orientation":7,"volume":5})", true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    NimbrelConfigManager::ResetInstanceForTesting();
    testenv::LogRecorder log;
    SetAppValue(L"Clarity", 2, kNimbrel);
    M().SaveConfigValue(config::kLocalUserConfigKey, kNimbrel, stored);
    NativeConfig nc = Record(R"({"multipane":{"enable":"true"}})", c.host, stored, kNimbrel);
    nc.global_config = R"({"heartbeat_reporting":{"report_gap":60}})";
    const auto guest = nlohmann::json::parse(Apply(nc), nullptr, false);
    ASSERT_TRUE(guest.is_object());
    EXPECT_EQ(guest["multipane"]["orientation"], c.orientation);
    EXPECT_EQ(M().GetGlobalConfig().heartbeat_reporting.has_value(), c.global_read);
    EXPECT_EQ(log.Count("json parse fail, error: "), c.warnings);
    EXPECT_EQ(testenv::ConfigValue(home(), key), std::optional<std::string>(c.stored_after));
    EXPECT_EQ(AppValueExists(L"Clarity", kNimbrel), c.registry_value_left);

    // A later patch of the record goes over the stored choices, never over
    // the defaults that stood in for them.
    config::AppLocalUserConfig patch;
    patch.split_screen = true;
    ASSERT_TRUE(M().UpdateLocalUserConfig(kNimbrel, patch));
    EXPECT_EQ(testenv::ConfigValue(home(), key),
              std::optional<std::string>(R"({"clarity":2,"orientation":7,"split_screen":true,"volume":5})"));
  }
}

TEST_F(ManagerTest, RegistryValuesMoveAndGoOnlyAfterTheStore) {
  SetAppValue(L"Width", 1920);  // Height absent: (1920, 0)
  SetAppValue(L"AspectRatio", 3);
  M().InsertAppConfig(Record("{}", "{}", R"({"volume":40,"resolution":[1,1]})"));
  const auto stored = testenv::ConfigValue(home(), std::string("nimbrel.") + kPkg + ".local_user_config");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored, R"({"aspect_ratio":3,"resolution":[1920,0],"volume":40})");
  EXPECT_FALSE(AppValueExists(L"Width"));
  EXPECT_FALSE(AppValueExists(L"AspectRatio"));
  EXPECT_EQ(M().GetAppLocalUserConfig(kPkg).resolution, (config::Size{1920, 0}));
}

TEST_F(ManagerTest, AFailedStoreKeepsTheRegistryValues) {
  SetAppValue(L"Clarity", 4);
  // A folder where the database should be: every store fails.
  fs::create_directories(testenv::ConfigsDbPath(home()));
  NimbrelConfigManager::ResetInstanceForTesting();
  M().InsertAppConfig(Record("{}"));
  EXPECT_TRUE(AppValueExists(L"Clarity"));
  EXPECT_EQ(M().GetAppLocalUserConfig(kPkg).clarity, config::Clarity::k1600x900);
}

TEST_F(ManagerTest, FrameGenerationChangeIsStoredOnlyWhenItChanges) {
  const std::string key = std::string("nimbrel.") + kPkg + ".local_user_config";
  M().InsertAppConfig(Record("{}", "{}", "{}"));
  EXPECT_FALSE(testenv::ConfigValue(home(), key).has_value());
  M().InsertAppConfig(Record("{}", R"({"default_frame_gen_mode":1})", "{}"));
  EXPECT_EQ(testenv::ConfigValue(home(), key),
            std::optional<std::string>(R"({"applied_host_default_frame_gen_mode":1,"low_latency_mode":false})"));
}

TEST_F(ManagerTest, ALocalUserPatchBeforeTheInsertKeepsTheStoredChoices) {
  const std::string key = std::string("nimbrel.") + kPkg + ".local_user_config";
  M().SaveConfigValue(config::kLocalUserConfigKey, kPkg, R"({"volume":5,"split_screen":true})");
  config::AppLocalUserConfig patch;
  patch.clarity = config::Clarity::k1920x1080;
  ASSERT_TRUE(M().UpdateLocalUserConfig(kPkg, patch));
  EXPECT_EQ(testenv::ConfigValue(home(), key),
            std::optional<std::string>(R"({"clarity":3,"split_screen":true,"volume":5})"));
}

TEST_F(ManagerTest, VmDpiRules) {
  struct Case { const char* name; const char* host; const char* local; unsigned dpi; const char* stored; };
  const Case cases[] = {
      {"host dpi first", R"({"dpi":480})", R"({"resolution":[1920,1080],"clarity":1})", 480, nullptr},
      {"local resolution", "{}", R"({"resolution":[2560,1440],"clarity":1})", 410, nullptr},
      {"zero width resolution ignored", "{}", R"({"resolution":[0,900],"clarity":2})", 410, nullptr},
      {"local clarity", "{}", R"({"clarity":4})", 260, nullptr},
      // No screen in this process: the scaled rule's smallest preset, stored.
      {"default clarity stored", "{}", "{}", 240, R"({"clarity":5})"},
      {"clarity out of range is none", "{}", R"({"clarity":9})", 240, R"({"clarity":5})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NimbrelConfigManager::ResetInstanceForTesting();
    fs::remove(testenv::ConfigsDbPath(home()));
    M().InsertAppConfig(Record("{}", c.host, c.local));
    EXPECT_EQ(config::GetVmDpi(kPkg), c.dpi);
    const auto stored = testenv::ConfigValue(home(), std::string("nimbrel.") + kPkg + ".local_user_config");
    if (c.stored) {
      EXPECT_EQ(stored, std::optional<std::string>(c.stored));
    } else {
      EXPECT_FALSE(stored.has_value());
    }
  }
}

}  // namespace
