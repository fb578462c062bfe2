// Small helpers of the Qt extension library.
#pragma once

#include <QString>
#include <string>

namespace qtbaseex::process {
// The whole command line: the arguments joined by blanks, an argument with a
// blank or a quote written in double quotes.
QString CurrentCmd();
}  // namespace qtbaseex::process

namespace qtbaseex::gstring {
std::wstring ToWString(const std::string& utf8);
}  // namespace qtbaseex::gstring

namespace qtbaseex::file {
// Creates the directory, writes through a temporary file and renames it into
// place, so a reader never sees a half-written file.
bool SaveTextDatatoLocalFile(const std::string& text, const std::wstring& directory,
                             const std::string& file_name);
}  // namespace qtbaseex::file

namespace qtbaseex::monitor {
// Diagonal of the primary screen in inches; 0 when there is no screen.
double GetScreenPhysicalInch();
}  // namespace qtbaseex::monitor
