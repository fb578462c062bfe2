#!/usr/bin/env bash
# Sets up a machine, builds everything and runs the whole test suite: the
# Windows suites under Wine first (scripts/test-windows.sh), then the POSIX
# suite, whose summary closes the output. Arguments go to the POSIX ctest.
# QUARRION_SKIP_WINDOWS=1 leaves the Windows side out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# The headers both OS backends share must stay free of POSIX.
scripts/check-portable-headers.sh
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
# Qt needs no display: everything here is headless.
export QT_QPA_PLATFORM=offscreen
# The graphics record's hammer test once more, under ThreadSanitizer.
QUARRION_BUILD_DIR="$BUILD_DIR" scripts/tsan-test.sh
windows_status=0
if [ "${QUARRION_SKIP_WINDOWS:-0}" != 1 ]; then
  windows_log=$(mktemp)
  scripts/test-windows.sh 2>&1 | tee "$windows_log" || windows_status=$?
  windows_line=$(grep -E '^windows: ' "$windows_log" | tail -1 || true)
  rm -f "$windows_log"
  echo "${windows_line:-windows: 0 passed, the build failed}"
  [ -n "$windows_line" ] || windows_status=1
fi
# Last, so the suite's summary closes the output.
posix_status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"${JOBS:-2}" "$@" || posix_status=$?
[ "$posix_status" -eq 0 ] || exit "$posix_status"
exit "$windows_status"
