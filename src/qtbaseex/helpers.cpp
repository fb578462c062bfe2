#include "qtbaseex/helpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSaveFile>
#include <QScreen>
#include <QStringList>
#include <cmath>
#include <string>
#include <vector>

#include "base/gstring.h"
#include "platform/launch.h"
#include "platform/session.h"

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

bool SaveTextDatatoLocalFile(const std::string& text, const std::wstring& directory,
                             const std::string& file_name) {
  if (directory.empty() || file_name.empty()) return false;
  // Bytes of the path as the file system holds them: no locale round trip.
  const std::filesystem::path dir_path = base::gstring::ToPath(directory);
  const QString dir = QFile::decodeName(QByteArray::fromStdString(dir_path.native()));
  const QString name = QFile::decodeName(QByteArray::fromStdString(file_name));
  if (name.contains(QLatin1Char('/')) || name == QLatin1String(".") ||
      name == QLatin1String("..")) {
    return false;  // a name, not a path: never write outside the directory
  }
  if (!QDir().mkpath(dir)) return false;

  // QSaveFile writes a temporary file beside the target, syncs it and renames
  // it over the target on commit; a failure leaves the old content in place.
  QSaveFile out(QDir(dir).filePath(name));
  out.setDirectWriteFallback(false);
  if (!out.open(QIODevice::WriteOnly)) return false;
  const qint64 size = static_cast<qint64>(text.size());
  if (out.write(text.data(), size) != size) {
    out.cancelWriting();
    return false;
  }
  return out.commit();
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
