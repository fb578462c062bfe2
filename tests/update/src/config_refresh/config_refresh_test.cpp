// One run of the built helper refreshes the configuration of the built-in
// packages and of every installed application against the service stand-in
// on loopback, and falls back to the stored documents when the service fails
// in any way it can.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "common/config/model/config_derivation.h"
#include "update/src/config_refresh/refresh_harness.h"

namespace {

namespace fs = std::filesystem;
using refresh::Documents;
using Strings = std::vector<std::string>;

constexpr char kRequestFailed[] = "request nimbrel config failed! [error_code]: ";

class ConfigRefreshTest : public testenv::ProductTest {
 protected:
  void StartService(std::vector<std::string> args = {}, const fs::path& tls_dir = {}) {
    testenv::ConfigService::Options options;
    options.docs = home() / "service" / "docs";
    options.state_dir = home() / "service" / "state";
    options.tls_dir = tls_dir;
    options.args = std::move(args);
    service_ = testenv::ConfigService::Start(options);
    ASSERT_TRUE(service_);
    service_->UseInSandbox();
  }
  void Serve(const std::string& package, const Documents& docs) {
    for (const auto& [kind, text] : docs) {
      testenv::WriteServiceDocument(home() / "service" / "docs", package, kind, text);
    }
  }
  std::map<std::string, testenv::ConfigRow> DocumentRows() {
    auto rows = testenv::ReadConfigRows(home());
    std::erase_if(rows, [](const auto& r) { return r.first.find(".local_user_config") != std::string::npos; });
    return rows;
  }
  std::string Guest(const std::string& package) {
    const fs::path f = testenv::GuestFile(home(), package);
    return fs::exists(f) ? testenv::ReadFile(f) : "<none>";
  }
  std::unique_ptr<testenv::ConfigService> service_;
};

TEST_F(ConfigRefreshTest, BuiltinsThenInstalledAppsFromTheService) {
  StartService();
  const Strings installed = {"com.example.alpha", "com.android.camera2", "com.example.beta"};
  for (const char* p : refresh::kBuiltins) Serve(p, refresh::DocumentsFor(p));
  for (const auto& p : installed) Serve(p, refresh::DocumentsFor(p));
  // alpha's guest document has a split-screen pane to patch.
  const std::string alpha_guest = R"({"multipane":{"enable":"true"},"notification":false})";
  testenv::WriteServiceDocument(home() / "service" / "docs", "com.example.alpha", "configfile", alpha_guest);
  refresh::InstallApps(installed);
  // A registry value of alpha moves into its local user configuration.
  base::reg::SetValue(HKEY_CURRENT_USER, config::AppSettingsRegSubkey("com.example.alpha"), L"Clarity",
                      std::uint64_t{2});

  ASSERT_EQ(refresh::RunHelper(), 0u);

  // Built-ins first, then the installed applications in query order; a
  // package both built in and installed is asked for twice.
  std::vector<std::string> query_order;
  {
    InstalledAppStore store("");
    for (const auto& app : store.QueryInstalledApps("")) query_order.push_back(app.package_name);
  }
  Strings expected(std::begin(refresh::kBuiltins), std::end(refresh::kBuiltins));
  expected.insert(expected.end(), query_order.begin(), query_order.end());
  const auto requests = service_->Requests();
  EXPECT_EQ(refresh::RequestedGroups(requests), expected);
  for (const auto& r : requests) {
    const std::string group = r.at("body_json").at("group");
    EXPECT_EQ(r.at("body"), R"({"android":"Android13","group":")" + group + R"("})");
    EXPECT_EQ(r.at("path"), "/v3/quarrion_get_corvale_conf");
    EXPECT_EQ(r.at("role"), "primary");
    ASSERT_TRUE(r.at("header_json").is_object()) << r.dump();
    EXPECT_TRUE(r.at("header_json").contains("body_sha256"));
  }

  // The five documents of every package, as served, as plain rows.
  const auto rows = DocumentRows();
  Strings all(std::begin(refresh::kBuiltins), std::end(refresh::kBuiltins));
  all.push_back("com.example.alpha");
  all.push_back("com.example.beta");
  EXPECT_EQ(rows.size(), all.size() * 5);
  for (const auto& p : all) {
    Documents docs = refresh::DocumentsFor(p);
    if (p == "com.example.alpha") docs["configfile"] = alpha_guest;
    for (const auto& [kind, text] : docs) {
      const std::string key = refresh::StorageKey(kind, p);
      ASSERT_TRUE(rows.count(key)) << key;
      // The launcher's host document gains its defaults only when a local
      // user document was stored before; none was.
      EXPECT_EQ(rows.at(key), (testenv::ConfigRow{text, 0, ""})) << key;
    }
  }

  // Guest files: the patched pane, or the stored text byte for byte.
  EXPECT_EQ(Guest("com.example.alpha"),
            R"({"multipane":{"dragBar":"false","enable":"false","orientation":1,"ratio":"0.5"},"notification":false})");
  for (const char* p : {"com.morvath.nimbrel", "com.example.beta", "com.android.camera2"}) {
    EXPECT_EQ(Guest(p), refresh::DocumentsFor(p).at("configfile")) << p;
  }
  EXPECT_EQ(refresh::Files(home() / "shared").size(), all.size());

  // The migrated clarity is stored, and only then gone from the registry.
  EXPECT_EQ(testenv::ConfigValue(home(), "nimbrel.com.example.alpha.local_user_config"),
            std::optional<std::string>(R"({"clarity":2})"));
  EXPECT_FALSE(base::reg::IsExist(HKEY_CURRENT_USER, config::AppSettingsRegSubkey("com.example.alpha"), L"Clarity"));
  EXPECT_EQ(refresh::CountLines(refresh::LogLines(home()), kRequestFailed), 0u);
}

TEST_F(ConfigRefreshTest, LauncherWithStoredChoicesGetsItsDisplayDefaults) {
  StartService();
  Serve("com.morvath.launcher", refresh::DocumentsFor("com.morvath.launcher"));
  refresh::StoreRow(home(), "nimbrel.com.morvath.launcher.local_user_config", R"({"volume":7})");
  ASSERT_EQ(refresh::RunHelper(), 0u);
  const auto host = nlohmann::json::parse(*testenv::ConfigValue(home(), "nimbrel.com.morvath.launcher.host_config"));
  EXPECT_EQ(host.at("resolution"), nlohmann::json::array({320, 480}));
  // No screen (offscreen, 0 x 0): the smallest preset's density.
  EXPECT_EQ(host.at("dpi"), 240);
  // The density's clarity joined the stored choices instead of replacing them.
  EXPECT_EQ(testenv::ConfigValue(home(), "nimbrel.com.morvath.launcher.local_user_config"),
            std::optional<std::string>(R"({"clarity":5,"volume":7})"));
}

struct DownCase {
  const char* name;
  std::vector<std::string> args;
  bool untrusted_ca;
  std::size_t requests_per_package;  // recorded by the service
  const char* line_per_attempt;      // the critical line each attempt logs (null: none)
};

class ServiceDownTest : public ConfigRefreshTest, public ::testing::WithParamInterface<DownCase> {};

TEST_P(ServiceDownTest, StoredDocumentsAreUsedAndLeftAsTheyWere) {
  const DownCase& c = GetParam();
  StartService(c.args, c.untrusted_ca ? testenv::TestCaDirectory("stranger") : fs::path());
  if (c.untrusted_ca) {
    // The sandbox trusts its own CA, not the one the service's certificate comes from.
    base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetNimbrelEnvRegRoot(), L"ConfigServiceCaFile",
                        base::gstring::FromPath(testenv::TestCaDirectory() / "ca.crt"));
  }
  const std::string app = "com.example.stored";
  Serve(app, refresh::DocumentsFor(app));
  refresh::InstallApps({app});
  Documents stored = refresh::DocumentsFor(app);
  stored["configfile"] = R"({"multipane":{"enable":"true","ratio":"0.7"}})";
  refresh::StoreDocuments(home(), app, stored);
  refresh::StoreDocuments(home(), "com.morvath.nimbrel", refresh::DocumentsFor("com.morvath.nimbrel"));
  const auto before = DocumentRows();

  ASSERT_EQ(refresh::RunHelper(), 0u);

  const auto requests = service_->Requests();
  const std::size_t packages = 4;  // three built-ins and the app
  EXPECT_EQ(requests.size(), packages * c.requests_per_package) << c.name;
  const auto lines = refresh::LogLines(home());
  if (c.line_per_attempt) EXPECT_EQ(refresh::CountLines(lines, c.line_per_attempt), packages * 3) << c.name;
  EXPECT_EQ(DocumentRows(), before) << c.name;
  EXPECT_EQ(Guest(app), R"({"multipane":{"dragBar":"false","enable":"false","orientation":1,"ratio":"0.7"}})");
  EXPECT_EQ(Guest("com.morvath.nimbrel"), refresh::DocumentsFor("com.morvath.nimbrel").at("configfile"));
  EXPECT_EQ(Guest("com.android.camera2"), "<none>");  // nothing stored, nothing written
}

INSTANTIATE_TEST_SUITE_P(
    EachWay, ServiceDownTest,
    ::testing::Values(
        DownCase{"refused", {"--refuse=both"}, false, 0, kRequestFailed},
        DownCase{"http 500", {"--status=500"}, false, 3, kRequestFailed},
        DownCase{"malformed json", {"--malformed"}, false, 3, "Config parse fail, error_message: "},
        DownCase{"ret_msg not ok", {"--ret-msg=OK"}, false, 3, nullptr},
        DownCase{"untrusted certificate", {}, true, 0, kRequestFailed}),
    [](const auto& info) {
      std::string n = info.param.name;
      std::replace_if(n.begin(), n.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
      return n;
    });

TEST_F(ConfigRefreshTest, AStallingServiceIsBoundedByTheRunBudget) {
  StartService({"--stall"});
  refresh::SetEnvNumber(L"ConfigRefreshBudgetMs", 1500);
  const Strings apps = {"com.example.one", "com.example.two", "com.example.three"};
  refresh::InstallApps(apps);
  for (const auto& p : apps) refresh::StoreDocuments(home(), p, refresh::DocumentsFor(p));
  const auto before = DocumentRows();

  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(refresh::RunHelper(60000), 0u);
  const auto took = std::chrono::steady_clock::now() - started;

  // Only the first package's first attempt could wait; everything after took
  // the stored documents at once, with one line saying so.
  EXPECT_LT(took, std::chrono::seconds(20));
  const auto lines = refresh::LogLines(home());
  EXPECT_EQ(refresh::CountLines(lines, "configuration service time budget of 1500 ms spent"), 1u);
  EXPECT_LE(service_->Requests().size(), 2u);  // primary and alternative of one attempt
  EXPECT_EQ(refresh::CountLines(lines, kRequestFailed), 1u);
  EXPECT_EQ(DocumentRows(), before);
  for (const auto& p : apps) EXPECT_EQ(Guest(p), refresh::DocumentsFor(p).at("configfile")) << p;
}

TEST_F(ConfigRefreshTest, PlaceholderAddressesAreNeverLookedUp) {
  // No service configured: the built-in addresses are reserved names, which
  // fail at once without a name query (error 1002: no address to send to).
  ASSERT_EQ(refresh::RunHelper(), 0u);
  const auto lines = refresh::LogLines(home());
  EXPECT_EQ(refresh::CountLines(lines, kRequestFailed), 9u);
  EXPECT_EQ(refresh::CountLines(lines, std::string(kRequestFailed) + " 1002 , [http_code]:  0"), 9u);
}

TEST_F(ConfigRefreshTest, LocalDebugModeAsksNothingAndStoresNothing) {
  StartService();
  base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetComponentRegRoot(0), L"ApiLocalDebugMode",
                      std::uint64_t{1});
  const std::string app = "com.example.debug";
  Serve(app, refresh::DocumentsFor("com.example.other"));
  refresh::InstallApps({app});
  refresh::StoreDocuments(home(), app, refresh::DocumentsFor(app));
  const auto before = DocumentRows();

  ASSERT_EQ(refresh::RunHelper(), 0u);

  EXPECT_TRUE(service_->Requests().empty());
  EXPECT_EQ(DocumentRows(), before);
  EXPECT_EQ(Guest(app), refresh::DocumentsFor(app).at("configfile"));
}

TEST_F(ConfigRefreshTest, HostileNamesAreSkippedAndTheRestRefreshed) {
  StartService();
  const Strings hostile = {"../x",  "a/b", "a\\b", "", std::string(300, 'a'), std::string("com.a\0b.c", 9),
                           "com.\xc3\xa9t\xc3\xa9.app", "com..double", "com.9lives", ".com.lead", "single",
                           "com.example.ok/../../escape"};
  Strings installed = {"com.example.first"};
  installed.insert(installed.end(), hostile.begin(), hostile.end());
  installed.push_back("com.example.last");
  refresh::InstallApps(installed);
  for (const char* p : {"com.example.first", "com.example.last"}) Serve(p, refresh::DocumentsFor(p));
  for (const char* p : refresh::kBuiltins) Serve(p, refresh::DocumentsFor(p));

  ASSERT_EQ(refresh::RunHelper(), 0u);

  Strings expected(std::begin(refresh::kBuiltins), std::end(refresh::kBuiltins));
  expected.push_back("com.example.first");
  expected.push_back("com.example.last");
  EXPECT_EQ(refresh::RequestedGroups(service_->Requests()), expected);
  const auto lines = refresh::LogLines(home());
  EXPECT_EQ(refresh::CountLines(lines, "skip config refresh, not a package name: "), hostile.size());
  // Every file the run wrote under the shared directory is a guest file of
  // a valid package, inside config/.
  for (const auto& [rel, text] : refresh::Files(home() / "shared")) {
    EXPECT_EQ(rel.rfind("config/", 0), 0u) << rel;
    EXPECT_EQ(rel.find("..", 0), std::string::npos) << rel;
  }
  EXPECT_FALSE(fs::exists(home() / "shared" / "x.conf"));
  EXPECT_FALSE(fs::exists(home() / "x.conf"));
  EXPECT_FALSE(fs::exists(home() / "shared" / "escape.conf"));
  EXPECT_EQ(Guest("com.example.last"), refresh::DocumentsFor("com.example.last").at("configfile"));
  // No row was keyed by a hostile name.
  for (const auto& [key, row] : testenv::ReadConfigRows(home())) {
    EXPECT_TRUE(key.find("com.example.") != std::string::npos || key.find("com.morvath.") != std::string::npos ||
                key.find("com.android.") != std::string::npos)
        << key;
  }
}

}  // namespace
