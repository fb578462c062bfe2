#!/usr/bin/env bash
# Compiles every header of src/platform and src/base that both OS backends
# share (all but *_posix.h and *_win.h) on its own with the MinGW-w64 cross compiler, so
# a header that only builds on Linux fails here. A POSIX-only type, header or
# function in such a header is an error on that compiler, and the few POSIX
# names MinGW happens to provide as well are looked for by name.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
if ! command -v "$CXX" >/dev/null; then
  echo "check-portable-headers: $CXX not found (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

# Platform-only headers, by name.
excluded='_(posix|win)\.h$'

# Names that MinGW also defines, so only a search can tell they leaked.
posix_names='\b(pid_t|ssize_t|uid_t|gid_t|mode_t|off_t|ino_t|dev_t|nlink_t|DIR|dirent|siginfo_t|sigset_t|pthread_[a-z_]+_t|struct stat)\b'
posix_headers='#include *<(unistd|fcntl|dirent|dlfcn|poll|pthread|signal|spawn|pwd|grp|termios|sys/[a-z_/]+|linux/[a-z_/]+)\.h>'

failed=0
checked=0
while IFS= read -r header; do
  [[ "$header" =~ $excluded ]] && continue
  checked=$((checked + 1))
  include=${header#src/}
  if ! out=$(printf '#include "%s"\n' "$include" |
             "$CXX" -std=c++20 -fsyntax-only -Werror -Isrc -x c++ - 2>&1); then
    echo "FAIL $header: does not compile for Windows" >&2
    echo "$out" | head -20 >&2
    failed=1
    continue
  fi
  # Comments may mention POSIX; code may not.
  if hits=$(sed -e 's://.*$::' "$header" | grep -nE "$posix_names|$posix_headers"); then
    echo "FAIL $header: POSIX names in a shared header:" >&2
    echo "$hits" >&2
    failed=1
  fi
done < <(find src/platform src/base -maxdepth 1 -name '*.h' ! -name '*_posix.h' ! -name '*_win.h' | sort)

if [ "$failed" -ne 0 ]; then
  echo "check-portable-headers: failed" >&2
  exit 1
fi
echo "check-portable-headers: $checked headers compile for Windows"
