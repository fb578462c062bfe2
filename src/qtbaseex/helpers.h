// Small helpers of the Qt extension library.
#pragma once

#include <QString>
#include <string>

namespace qtbaseex::process {
// The whole command line the process was started with (Qt's own options
// included): the arguments joined by blanks, each written by the Windows
// rules where it needs quoting, so the line splits back into the same
// arguments.
QString CurrentCmd();
}  // namespace qtbaseex::process

namespace qtbaseex::gstring {
std::wstring ToWString(const std::string& utf8);
}  // namespace qtbaseex::gstring

namespace qtbaseex::file {
// Creates the directory and makes `text` the file's whole content through
// platform::files::ReplaceWholeFile: a reader never sees a half-written file, a
// link at the name is replaced rather than followed, and on failure (false,
// with the path and the reason logged at info level in lc_emulator_config)
// the old file stays as it was.
bool SaveTextDatatoLocalFile(const std::string& text, const std::wstring& directory,
                             const std::string& file_name);
}  // namespace qtbaseex::file

namespace qtbaseex::monitor {
// Diagonal of the primary screen in inches; 0 when there is no screen.
double GetScreenPhysicalInch();
}  // namespace qtbaseex::monitor
