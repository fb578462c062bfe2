// Writing options onto the command line of a program this process starts, as
// `--name "value" `. The quoting is the platform's one Windows-rule quoting,
// so the child reads back exactly the value written.
#pragma once

#include <map>
#include <string>
#include <string_view>

// "--{name} ": the name with two dashes before it and one blank after it.
std::wstring FormatOptionArg(std::string_view name);
std::wstring FormatOptionArg(std::wstring_view name);
// The value between double quotes, followed by one blank ("" for an empty
// value). Backslashes are doubled only where a quote follows them, and a
// quote is escaped, so the child's split gives the value back unchanged.
std::wstring QuoteArg(std::string_view value);
std::wstring QuoteArg(std::wstring_view value);
// Every option in key order as FormatOptionArg + QuoteArg; empty for none.
std::wstring BuildArgs(const std::map<std::string, std::string>& options);
std::wstring BuildArgs(const std::map<std::wstring, std::wstring>& options);
