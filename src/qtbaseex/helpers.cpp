#include "qtbaseex/helpers.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/gstring.h"
#include "platform/files.h"
#include "platform/launch.h"
#include "platform/session.h"
#include "qtbaseex/log/categories.h"
#include "qtbaseex/log/signed_log.h"

namespace qtbaseex::process {

QString CurrentCmd() {
  // The raw arguments, not QCoreApplication::arguments(): Qt takes its own
  // options (-platform, -style, -session, -reverse, ...) out of those.
  const platform::Result<std::vector<std::string>> raw = platform::RawArguments();
  if (!raw) return {};
  std::vector<std::wstring> arguments;
  arguments.reserve(raw->size());
  for (const std::string& argument : *raw) {
    arguments.push_back(
        QString::fromLocal8Bit(argument.data(), static_cast<int>(argument.size())).toStdWString());
  }
  return QString::fromStdWString(platform::JoinCommandLine(arguments, platform::Quoting::kWhenNeeded));
}

}  // namespace qtbaseex::process

namespace qtbaseex::gstring {

std::wstring ToWString(const std::string& utf8) { return base::gstring::FromUtf8(utf8); }

}  // namespace qtbaseex::gstring

namespace qtbaseex::file {
namespace {

constexpr char kSaveSignature[] =
    "bool __cdecl qtbaseex::file::SaveTextDatatoLocalFile(const class std::basic_string<char,"
    "struct std::char_traits<char>,class std::allocator<char> > &,const class "
    "std::basic_string<wchar_t,struct std::char_traits<wchar_t>,class std::allocator<wchar_t> > "
    "&,const class std::basic_string<char,struct std::char_traits<char>,class "
    "std::allocator<char> > &)";

const char* Describe(platform::ErrorCode code) {
  switch (code) {
    case platform::kErrorPathNotFound: return "folder not found";
    case platform::kErrorAccessDenied: return "access denied";
    case platform::kErrorInvalidParameter: return "invalid name";
    case platform::kErrorDiskFull: return "disk full";
    case platform::kErrorWriteProtect: return "read-only file system";
    case platform::kErrorIoDevice: return "I/O error";
    default: return "error";
  }
}

// A path as the file system holds it: wide on Windows, bytes elsewhere.
QString NativePathText(const std::filesystem::path& path) {
#ifdef _WIN32
  return QString::fromStdWString(path.native());
#else
  return QFile::decodeName(QByteArray::fromStdString(path.native()));
#endif
}

// Why a save failed, beside the caller's own warning (which names the file
// as its callers know it): the full path and the reason.
void LogSaveFailure(const std::filesystem::path& path, const char* why, platform::ErrorCode code) {
  QX_SIGNED_LOG(info, lc_emulator_config, kSaveSignature).noquote().nospace()
      << "save file failed: " << NativePathText(path)
      << ", " << why << " (" << code << ")";
}

}  // namespace

bool SaveTextDatatoLocalFile(const std::string& text, const std::wstring& directory,
                             const std::string& file_name) {
  if (directory.empty() || file_name.empty()) return false;
  // Bytes of the path as the file system holds them: no locale round trip.
  const std::filesystem::path dir_path = base::gstring::ToPath(directory);
  const QString name = QFile::decodeName(QByteArray::fromStdString(file_name));
  if (name.contains(QLatin1Char('/')) || name == QLatin1String(".") ||
      name == QLatin1String("..")) {
    return false;  // a name, not a path: never write outside the directory
  }
  const std::filesystem::path target = dir_path / file_name;
  std::error_code ec;
  std::filesystem::create_directories(dir_path, ec);
  if (ec) {
    LogSaveFailure(target, "cannot create the folder", platform::kErrorPathNotFound);
    return false;
  }
  // The shared folder is writable by others: a new file replaces whatever
  // stands at the name (a link is never written through), and a failed write
  // leaves the old file as it was.
  const platform::Result<void> saved = platform::files::ReplaceWholeFile(dir_path, file_name, text);
  if (!saved) {
    LogSaveFailure(target, Describe(saved.error()), saved.error());
    return false;
  }
  return true;
}

}  // namespace qtbaseex::file

namespace qtbaseex::monitor {

// The one judge of a real screen (monitor/screen_facts.h).
const QScreen* RealPrimaryScreen();

double GetScreenPhysicalInch() {
  // Only a real display has a size; a headless platform's is made up.
  const QScreen* screen = RealPrimaryScreen();
  if (screen == nullptr) return 0.0;
  const QSizeF size = screen->physicalSize();  // millimetres
  const double diagonal_mm = std::hypot(size.width(), size.height());
  if (!(diagonal_mm > 0.0)) return 0.0;
  return diagonal_mm / 25.4;
}

}  // namespace qtbaseex::monitor
