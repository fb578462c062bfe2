// A child process that holds a file open (or only mapped) until it is let
// go: this test program started again as its ChildBehaviour.HoldFile. Each
// test program that uses it defines that behaviour in one line:
//
//   TEST(ChildBehaviour, HoldFile) { testenv::HoldFileBehaviour(); }
#pragma once

#include <filesystem>
#include <string>

#include "support/child.h"

namespace testenv {

enum class Hold {
  kOpen,    // an open descriptor (a handle on Windows)
  kMapped,  // mapped into memory, the descriptor closed again (POSIX only)
};

class FileHolder {
 public:
  // Starts the child and returns once it holds `file` (invalid when it could
  // not: then the test fails).
  static FileHolder Start(const std::filesystem::path& file, Hold how = Hold::kOpen);

  FileHolder() = default;
  FileHolder(FileHolder&&) = default;
  FileHolder& operator=(FileHolder&&) = default;
  ~FileHolder() { Release(); }

  bool valid() const { return child_.valid(); }
  platform::Pid pid() const { return child_.pid(); }
  // Lets the file go and waits for the child's end.
  void Release();

 private:
  Child child_;
  std::filesystem::path talk_;  // the ready and release files
};

// The body of ChildBehaviour.HoldFile; skips the test when not in a child.
void HoldFileBehaviour();

}  // namespace testenv
