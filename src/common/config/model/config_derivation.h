// The steps of an insert that derive a package's documents: parsing the three
// read documents, moving the per-application registry values into the local
// user configuration, and applying the host's frame-generation defaults.
//
// The caller (the configuration manager) drives them in this order:
//
//   auto docs = ParseInsertDocuments(host_text, local_user_text, global_text);
//   for (const auto& e : docs.errors) log "json parse fail, error: " + e;
//   auto derived = DeriveLocalUserConfig(package, docs);
//   ...keep the record...
//   if (derived.NeedsWriteBack()) {
//     if (store(SerializeLocalUserConfig(docs.local_user)))   // "nimbrel.{}.local_user_config"
//       CommitRegistryMigration(package, derived.migration);
//   }
//
// The registry values are deleted only once the document that now holds them
// has been stored: a migration is written back even when the frame-generation
// step changed nothing, and a failed store leaves the values in the registry
// for the next insert to move again. A local user document that was never
// parsed (an earlier document was not JSON) is not written back at all: the
// defaults standing in for it would replace the user's stored choices.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/config/model/app_host_config.h"
#include "common/config/model/app_local_user_config.h"
#include "common/config/model/nimbrel_global_config.h"

namespace config {

// Storage keys of a package's documents ("{}" is the package name).
inline constexpr std::string_view kHostConfigKey = "nimbrel.{}.host_config";
inline constexpr std::string_view kGuestConfigKey = "nimbrel.{}.guest_config";
inline constexpr std::string_view kGlobalConfigKey = "nimbrel.{}.global_config";
inline constexpr std::string_view kDefaultKeyMappingKey = "nimbrel.{}.default.key_mapping";
inline constexpr std::string_view kSmkKey = "nimbrel.{}.smk";
inline constexpr std::string_view kLocalUserConfigKey = "nimbrel.{}.local_user_config";

// The registry subkey of a package's display values (setting_helper's), for
// a UTF-8 package name.
std::wstring AppSettingsRegSubkey(const std::string& package);

struct InsertDocuments {
  AppHostConfig host;
  AppLocalUserConfig local_user;
  NimbrelGlobalConfig global;
  // Which texts were parsed. The first one that is not JSON ends the
  // parsing: it and the documents after it keep their defaults.
  bool host_read = false;
  bool local_user_read = false;
  bool global_read = false;
  // The parser's message for the text that was not JSON (at most one).
  std::vector<std::string> errors;
};

// Parses the host, then the local user, then the global document, stopping
// at the first text that is not JSON.
InsertDocuments ParseInsertDocuments(std::string_view host_text, std::string_view local_user_text,
                                     std::string_view global_text);

struct RegistryMigration {
  // Registry value names whose content was copied into the local user
  // configuration; they are still in the registry.
  std::vector<std::wstring> moved_values;
  bool Moved() const { return !moved_values.empty(); }
};

// Copies the package's non-zero AspectRatio, Clarity, Width/Height and
// DynamicAspectWidth/DynamicAspectHeight values into `local_user`, replacing
// what the document held. Deletes nothing.
RegistryMigration ReadRegistrySettings(const std::string& package, AppLocalUserConfig& local_user);

// Deletes the values that a migration moved. Call it after the local user
// configuration holding them has been stored.
void CommitRegistryMigration(const std::string& package, const RegistryMigration& migration);

// Applies the host's "default_frame_gen_enabled"/"default_frame_gen_mode"
// when they differ from the ones last applied. Answers whether `local_user`
// changed.
bool ApplyHostFrameGenDefaults(const AppHostConfig& host, AppLocalUserConfig& local_user);

struct LocalUserDerivation {
  RegistryMigration migration;
  bool frame_gen_changed = false;
  // The local user text was parsed (or was itself not JSON): what was derived
  // stands for the stored document.
  bool stored_document_read = false;
  // The derived configuration differs from the stored one: store it.
  bool NeedsWriteBack() const {
    return stored_document_read && (migration.Moved() || frame_gen_changed);
  }
};

// The registry migration, then the frame-generation defaults, over the
// documents of an insert.
LocalUserDerivation DeriveLocalUserConfig(const std::string& package, InsertDocuments& docs);

}  // namespace config
