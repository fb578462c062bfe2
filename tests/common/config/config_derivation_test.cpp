// The derivation steps of an insert over the emulated registry of a fresh
// product home: registry migration, frame-generation defaults, write-back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/gstring.h"
#include "base/reg.h"
#include "common/config/model/config_derivation.h"
#include "common/setting_helper/setting_helper.h"
#include "support/test_env.h"

namespace {

using config::AppHostConfig;
using config::AppLocalUserConfig;
using config::EnumCode;
using config::Size;

constexpr char kPackage[] = "com.morvath.nimbrel";

class RegistryMigrationTest : public testenv::ProductTest {
 protected:
  std::wstring Subkey(const std::string& package = kPackage) { return config::AppSettingsRegSubkey(package); }
  void Set(const wchar_t* name, std::uint64_t value, const std::string& package = kPackage) {
    ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, Subkey(package), name, value));
  }
  bool Exists(const wchar_t* name, const std::string& package = kPackage) {
    return base::reg::IsExist(HKEY_CURRENT_USER, Subkey(package), name);
  }
};

TEST_F(RegistryMigrationTest, SubkeyIsTheFixedPathAndThePackage) {
  EXPECT_EQ(Subkey(), L"SOFTWARE\\Morvath\\Quarrion\\Settings\\App\\com.morvath.nimbrel");
}

TEST_F(RegistryMigrationTest, MovedValuesReplaceTheDocumentAndAreDeletedOnCommit) {
  Set(L"AspectRatio", 2);
  Set(L"Clarity", 3);
  Set(L"Width", 1920);
  Set(L"Height", 1080);
  Set(L"DynamicAspectWidth", 21);
  Set(L"DynamicAspectHeight", 9);
  Set(L"Volume", 70);  // not ours: must survive

  auto local = *config::ParseAppLocalUserConfig(R"({"resolution": [1280, 720], "clarity": 5, "volume": 30})");
  const auto migration = config::ReadRegistrySettings(kPackage, local);

  EXPECT_EQ(local.aspect_ratio, EnumCode{2});
  EXPECT_EQ(local.clarity, config::Clarity::k1920x1080);
  EXPECT_EQ(local.resolution, (Size{1920, 1080}));
  EXPECT_EQ(local.special_aspect_ratio, (Size{21, 9}));
  EXPECT_EQ(local.volume, 30);
  EXPECT_EQ(migration.moved_values.size(), 6u);
  // Nothing is deleted until the caller has stored the document.
  for (const auto* name : {L"AspectRatio", L"Clarity", L"Width", L"Height", L"DynamicAspectWidth", L"DynamicAspectHeight"}) {
    EXPECT_TRUE(Exists(name)) << base::gstring::ToUtf8(name);
  }

  config::CommitRegistryMigration(kPackage, migration);
  for (const auto* name : {L"AspectRatio", L"Clarity", L"Width", L"Height", L"DynamicAspectWidth", L"DynamicAspectHeight"}) {
    EXPECT_FALSE(Exists(name)) << base::gstring::ToUtf8(name);
  }
  EXPECT_TRUE(Exists(L"Volume"));

  // A second insert finds nothing left to move.
  AppLocalUserConfig again;
  EXPECT_FALSE(config::ReadRegistrySettings(kPackage, again).Moved());
  EXPECT_EQ(again, AppLocalUserConfig{});
}

TEST_F(RegistryMigrationTest, PairsMoveWhenEitherHalfIsSet) {
  struct Case {
    std::vector<std::pair<const wchar_t*, std::uint64_t>> values;
    std::optional<Size> resolution;
    std::optional<Size> special_aspect_ratio;
  };
  const std::vector<Case> cases = {
      {{{L"Width", 0}, {L"Height", 900}}, Size{0, 900}, std::nullopt},
      {{{L"Width", 1920}}, Size{1920, 0}, std::nullopt},
      {{{L"Width", 0}, {L"Height", 0}}, std::nullopt, std::nullopt},
      {{{L"DynamicAspectHeight", 9}}, std::nullopt, Size{0, 9}},
      // Only the low 32 bits carry the setting.
      {{{L"Width", 0x100000000ull}, {L"Height", 0x1FFFFFFFFull}}, Size{0, -1}, std::nullopt},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string package = "com.case" + std::to_string(n++);  // a clean subkey per case
    SCOPED_TRACE(package);
    for (const auto& [name, value] : c.values) Set(name, value, package);
    AppLocalUserConfig local;
    const auto migration = config::ReadRegistrySettings(package, local);
    EXPECT_EQ(local.resolution, c.resolution);
    EXPECT_EQ(local.special_aspect_ratio, c.special_aspect_ratio);
    EXPECT_EQ(migration.Moved(), c.resolution.has_value() || c.special_aspect_ratio.has_value());
    config::CommitRegistryMigration(package, migration);
    const bool left = Exists(L"Width", package) || Exists(L"Height", package) ||
                      Exists(L"DynamicAspectHeight", package);
    EXPECT_EQ(left, !migration.Moved()) << "moved values are deleted, others stay";
  }
}

TEST_F(RegistryMigrationTest, NonAsciiPackageUsesItsWideName) {
  const std::string package = "com.b\xc3\xa4r.\xe4\xb8\x96";  // UTF-8
  Set(L"Clarity", 4, package);
  EXPECT_TRUE(base::reg::IsExist(HKEY_CURRENT_USER,
                                 L"SOFTWARE\\Morvath\\Quarrion\\Settings\\App\\com.b\u00e4r.\u4e16", L"Clarity"));
  AppLocalUserConfig local;
  const auto migration = config::ReadRegistrySettings(package, local);
  EXPECT_EQ(local.clarity, config::Clarity::k1600x900);
  config::CommitRegistryMigration(package, migration);
  EXPECT_FALSE(Exists(L"Clarity", package));
}

TEST_F(RegistryMigrationTest, NamesThatAreNotOneKeyLevelMigrateNothing) {
  ASSERT_TRUE(base::reg::SetValue(HKEY_CURRENT_USER, std::wstring(setting_helper::kAppSettingsKey) + L"\\a\\b",
                                  L"Clarity", std::uint64_t{2}));
  for (const std::string package : {"", "a\\b"}) {
    AppLocalUserConfig local;
    const auto migration = config::ReadRegistrySettings(package, local);
    EXPECT_FALSE(migration.Moved());
    config::CommitRegistryMigration(package, {{L"Clarity"}});
  }
  EXPECT_TRUE(base::reg::IsExist(HKEY_CURRENT_USER, std::wstring(setting_helper::kAppSettingsKey) + L"\\a\\b", L"Clarity"));
}

// A migration alone makes the local user configuration differ from the
// stored one; it must be written back, or the deleted values are lost.
TEST_F(RegistryMigrationTest, MigrationWithoutFrameGenChangeIsWrittenBack) {
  Set(L"Width", 0);
  Set(L"Height", 900);
  auto docs = config::ParseInsertDocuments("{}", R"({"volume": 30})", "{}");
  ASSERT_TRUE(docs.errors.empty());

  const auto derived = config::DeriveLocalUserConfig(kPackage, docs);
  EXPECT_FALSE(derived.frame_gen_changed);
  ASSERT_TRUE(derived.NeedsWriteBack());

  const std::string stored = config::SerializeLocalUserConfig(docs.local_user);
  EXPECT_EQ(stored, R"({"resolution":[0,900],"volume":30})");
  config::CommitRegistryMigration(kPackage, derived.migration);
  EXPECT_FALSE(Exists(L"Width"));
  EXPECT_FALSE(Exists(L"Height"));

  // The next insert reads the stored text: the values are there, nothing moves.
  auto next = config::ParseInsertDocuments("{}", stored, "{}");
  const auto again = config::DeriveLocalUserConfig(kPackage, next);
  EXPECT_FALSE(again.NeedsWriteBack());
  EXPECT_EQ(next.local_user.resolution, (Size{0, 900}));
}

TEST_F(RegistryMigrationTest, NothingToDeriveNeedsNoWriteBack) {
  auto docs = config::ParseInsertDocuments("{}", "{}", "{}");
  const auto derived = config::DeriveLocalUserConfig(kPackage, docs);
  EXPECT_FALSE(derived.NeedsWriteBack());
  EXPECT_EQ(docs.local_user, AppLocalUserConfig{});
}

// A host text that is not JSON (none stored yet, or damaged) ends the
// parsing: the stored local user document is not read, so what stands in for
// it (defaults and the values moved from the registry) must not replace it,
// and the registry values stay until a run can store them with it.
TEST_F(RegistryMigrationTest, UnreadableHostKeepsTheStoredDocumentAndTheRegistryValues) {
  Set(L"Clarity", 2);
  const std::string local_text =
      R"({"applied_host_default_frame_gen_enabled":true,"applied_host_default_frame_gen_mode":2,)"
      R"("default_frame_gen_on":false,"volume":30})";
  for (const char* host_text : {"", R"({"default_frame_gen_enabled": true)"}) {
    SCOPED_TRACE(host_text);
    auto docs = config::ParseInsertDocuments(host_text, local_text, "{}");
    EXPECT_FALSE(docs.host_read);
    EXPECT_FALSE(docs.local_user_read);
    const auto derived = config::DeriveLocalUserConfig(kPackage, docs);
    EXPECT_FALSE(derived.frame_gen_changed);
    EXPECT_TRUE(derived.migration.Moved());
    EXPECT_FALSE(derived.NeedsWriteBack());
    // The migrated value still holds for this run.
    EXPECT_EQ(config::SerializeLocalUserConfig(docs.local_user), R"({"clarity":2})");
  }
  // Once the host reads again, the stored document is the base and the
  // applied record decides: nothing to apply, the migration is stored.
  auto docs = config::ParseInsertDocuments(R"({"default_frame_gen_enabled": true, "default_frame_gen_mode": 2})",
                                           local_text, "{}");
  const auto derived = config::DeriveLocalUserConfig(kPackage, docs);
  EXPECT_FALSE(derived.frame_gen_changed);
  EXPECT_TRUE(derived.NeedsWriteBack());
  EXPECT_EQ(config::SerializeLocalUserConfig(docs.local_user),
            R"({"applied_host_default_frame_gen_enabled":true,"applied_host_default_frame_gen_mode":2,)"
            R"("clarity":2,"default_frame_gen_on":false,"volume":30})");
}

// A local user text that is itself not JSON was read as far as it goes: what
// the insert derives replaces it.
TEST_F(RegistryMigrationTest, UnreadableLocalUserTextIsReplacedByTheDerivedOne) {
  Set(L"AspectRatio", 4);
  auto docs = config::ParseInsertDocuments(R"({"default_frame_gen_mode": 1})", R"({"volume": )", "{}");
  EXPECT_TRUE(docs.host_read);
  EXPECT_FALSE(docs.local_user_read);
  const auto derived = config::DeriveLocalUserConfig(kPackage, docs);
  EXPECT_TRUE(derived.NeedsWriteBack());
  EXPECT_EQ(config::SerializeLocalUserConfig(docs.local_user),
            R"({"applied_host_default_frame_gen_mode":1,"aspect_ratio":4,"low_latency_mode":false})");
}

TEST(FrameGenDefaults, AppliesHostValuesOnlyWhenTheyChanged) {
  struct Case {
    const char* host;
    const char* local_before;
    bool changed;
    const char* local_after;  // stored form
  };
  const std::vector<Case> cases = {
      {"{}", "{}", false, "{}"},
      {R"({"default_frame_gen_mode": 1})", R"({"default_frame_gen_on": true})", true,
       R"({"applied_host_default_frame_gen_mode":1,"default_frame_gen_on":true,"low_latency_mode":false})"},
      {R"({"default_frame_gen_mode": 2, "default_frame_gen_enabled": true})", "{}", true,
       R"({"applied_host_default_frame_gen_enabled":true,"applied_host_default_frame_gen_mode":2,)"
       R"("default_frame_gen_on":true,"low_latency_mode":true})"},
      // Already applied: the user's own later choice is left alone.
      {R"({"default_frame_gen_mode": 2, "default_frame_gen_enabled": true})",
       R"({"applied_host_default_frame_gen_enabled": true, "applied_host_default_frame_gen_mode": 2, "default_frame_gen_on": false})",
       false,
       R"({"applied_host_default_frame_gen_enabled":true,"applied_host_default_frame_gen_mode":2,"default_frame_gen_on":false})"},
      // The host dropped its values: the applied record follows, choices stay.
      {"{}", R"({"applied_host_default_frame_gen_mode": 0, "low_latency_mode": true})", true,
       R"({"low_latency_mode":true})"},
      {R"({"default_frame_gen_enabled": false})", R"({"applied_host_default_frame_gen_enabled": true, "default_frame_gen_on": true})",
       true, R"({"applied_host_default_frame_gen_enabled":false,"default_frame_gen_on":false})"},
      // A host value that is not a boolean counts as absent.
      {R"({"default_frame_gen_enabled": 1})", "{}", false, "{}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " / " + c.local_before);
    const auto host = config::ParseAppHostConfig(c.host);
    auto local = config::ParseAppLocalUserConfig(c.local_before);
    ASSERT_TRUE(host && local);
    EXPECT_EQ(config::ApplyHostFrameGenDefaults(*host, *local), c.changed);
    EXPECT_EQ(config::SerializeLocalUserConfig(*local), c.local_after);
  }
}

TEST(InsertDocuments, TheFirstDocumentThatIsNotJsonEndsTheParsing) {
  const std::string host = R"({"dpi": 320})";
  const std::string local = R"({"volume": 3})";
  const std::string global = R"({"heartbeat_reporting": {"report_gap": 60}})";
  struct Case {
    const char* label;
    std::string host, local, global;
    bool host_read, local_read, global_read;
  };
  const Case cases[] = {
      {"all JSON", host, local, global, true, true, true},
      {"host cut off", R"({"dpi": 3)", local, global, false, false, false},
      {"host empty, global broken too", "", local, "[", false, false, false},
      {"local user cut off", host, R"({"volume": 3)", global, true, false, false},
      {"global not JSON", host, local, "nope", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const auto docs = config::ParseInsertDocuments(c.host, c.local, c.global);
    EXPECT_EQ(docs.host_read, c.host_read);
    EXPECT_EQ(docs.local_user_read, c.local_read);
    EXPECT_EQ(docs.global_read, c.global_read);
    const bool all = c.host_read && c.local_read && c.global_read;
    ASSERT_EQ(docs.errors.size(), all ? 0u : 1u);
    if (!all) {
      EXPECT_NE(docs.errors[0].find("parse_error"), std::string::npos) << docs.errors[0];
    }
    // What was not parsed keeps its defaults, whatever its text holds.
    EXPECT_EQ(docs.host.dpi, c.host_read ? std::optional<unsigned>(320u) : std::nullopt);
    EXPECT_EQ(docs.local_user.volume, c.local_read ? std::optional<std::int32_t>(3) : std::nullopt);
    EXPECT_EQ(docs.global.heartbeat_reporting.has_value(), c.global_read);
  }
}

}  // namespace
