#include <windows.h>

#include <string>

#include "sdk/vexil/vexil_validation.h"

namespace vexil {

// The record's text fields are checked in vexil_validation.cpp; here, that its
// handler and database folder are usable on this system.
int ValidateInitInfo(const VexilInitInfo& info) {
  if (info.kind != 128) return kVexilBadRecordKind;
  if (!IsUuidText(info.app_id)) return kVexilBadAppId;
  if (!IsAppKeyText(info.app_key)) return kVexilBadAppKey;
  // A program file: there, not a folder, and one Windows can start.
  DWORD binary_type = 0;
  const DWORD handler = info.handler_path.empty() ? INVALID_FILE_ATTRIBUTES
                                                  : ::GetFileAttributesW(info.handler_path.c_str());
  if (handler == INVALID_FILE_ATTRIBUTES || (handler & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      !::GetBinaryTypeW(info.handler_path.c_str(), &binary_type)) {
    return kVexilHandlerMissing;
  }
  const DWORD database = info.database_directory.empty()
                             ? INVALID_FILE_ATTRIBUTES
                             : ::GetFileAttributesW(info.database_directory.c_str());
  if (database == INVALID_FILE_ATTRIBUTES || (database & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (database & FILE_ATTRIBUTE_READONLY) != 0) {
    return kVexilDatabaseUnwritable;
  }
  return kVexilOk;
}

}  // namespace vexil
