// The program's entry on Windows: a program without a console window
// (WinMain). Its parameters are not used; the arguments come from the wide
// command line, converted to the system ANSI code page, and live until the
// main routine has returned.
#include <string>
#include <vector>

#include "main.h"
#include "platform/session.h"

extern "C" int __stdcall WinMain(void*, void*, char*, int) {
  platform::Result<std::vector<std::string>> arguments = platform::EntryArguments();
  if (!arguments) return -1;
  std::vector<char*> argv;
  argv.reserve(arguments->size() + 1);
  for (std::string& argument : *arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return UpdateMain(static_cast<int>(arguments->size()), argv.data());
}
