#!/usr/bin/env bash
# Sets up a machine, builds everything and runs the whole test suite.
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
# Last, so the suite's summary closes the output.
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"${JOBS:-2}" "$@"
