#include "sdk/vexil/vexil_validation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace vexil {

// The record's text fields are checked in vexil_validation.cpp; here, that its
// handler and database folder are usable on this system.
int ValidateInitInfo(const VexilInitInfo& info) {
  if (info.kind != 128) return kVexilBadRecordKind;
  if (!IsUuidText(info.app_id)) return kVexilBadAppId;
  if (!IsAppKeyText(info.app_key)) return kVexilBadAppKey;

  const std::string handler = WideToUtf8(info.handler_path);
  struct stat st {};
  if (handler.empty() || ::stat(handler.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ::access(handler.c_str(), X_OK) != 0) {
    return kVexilHandlerMissing;
  }
  const std::string database = WideToUtf8(info.database_directory);
  if (database.empty() || ::stat(database.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      ::access(database.c_str(), W_OK | X_OK) != 0) {
    return kVexilDatabaseUnwritable;
  }
  return kVexilOk;
}

}  // namespace vexil
