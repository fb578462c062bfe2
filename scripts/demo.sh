#!/usr/bin/env bash
# Sets up a machine, builds, and runs one update pass of QuarrionUpdate.exe in
# a fresh sandbox product environment, then shows what happened.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
export QT_QPA_PLATFORM=offscreen
if [ -x tools/demo/demo.sh ]; then
  exec tools/demo/demo.sh "$BUILD_DIR/bin"
fi
home=$(mktemp -d -t quarrion-demo.XXXXXX)
echo "== sandbox product home: $home"
QUARRION_HOME="$home" "$BUILD_DIR/bin/QuarrionUpdate.exe" --appstore-pid 4194304
echo "== exit code: $?"
echo "== log:"
cat "$home"/logs/*.log
