#!/usr/bin/env bash
# Cross-builds the Qt-free layers (platform, base, the SDK stand-ins, the
# Qt-free common code) for 64-bit Windows with MinGW-w64 and runs their
# suites under Wine, in a fresh Wine prefix made in a temporary folder and
# served by one persistent Wine server, stopped again at the end.
#
#   WIN_BUILD_DIR        cross build tree (default build-win)
#   QUARRION_WIN_CACHE   GoogleTest for MinGW and its sources (default ~/.cache/quarrion-win)
#   WINDOWS_TEST_TIMEOUT seconds for the whole run of the suites (default 1200)
# Arguments go to ctest. The closing line is "windows: N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."
WIN_BUILD_DIR=${WIN_BUILD_DIR:-build-win}

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
  echo "test-windows: Wine not found (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

prefix=$(scripts/windows-deps.sh | tail -1)
cmake -S . -B "$WIN_BUILD_DIR" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw64.cmake" \
  -DQUARRION_WIN_PREFIX="$prefix" \
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
cmake --build "$WIN_BUILD_DIR" -j"${JOBS:-2}"

scratch=$(mktemp -d)
export WINEPREFIX=$scratch/wine
export WINEARCH=win64
export WINEDEBUG=-all
# No browser or .NET runtime offers while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
stop_wine() {
  # The server keeps its socket in /tmp/wine-*/server-<device>-<inode> of
  # the prefix; that folder goes too, or every run would leave one behind.
  local server_dir=""
  if [ -d "$WINEPREFIX" ]; then
    server_dir=server-$(stat -c '%D' "$WINEPREFIX" | sed 's/^0*//')-$(printf '%x' "$(stat -c '%i' "$WINEPREFIX")")
  fi
  "$wineserver" -k 2>/dev/null || true
  if [ -n "$server_dir" ]; then
    for dir in /tmp/wine-*/"$server_dir"; do
      [ -d "$dir" ] && rm -rf "$(dirname "$dir")"
    done
  fi
  rm -rf "$scratch"
}
trap stop_wine EXIT
# One server for every test program: starting one per program costs seconds.
mkdir -p "$WINEPREFIX"
"$wineserver" -p
"$wine" wineboot --init >/dev/null 2>&1

log=$scratch/ctest.log
# One test at a time: the registry is the machine's own, shared by every
# test, and each test starts from wiped product keys.
# A loaded machine now and then fails to start a test program under Wine
# (no output at all); such a test gets a second start. A test that really
# fails does so both times and is counted failed.
status=0
timeout --kill-after=30 "${WINDOWS_TEST_TIMEOUT:-1200}" \
  ctest --test-dir "$WIN_BUILD_DIR" --output-on-failure -j1 --repeat until-pass:2 "$@" 2>&1 |
  tee "$log" || status=$?
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
if [ -n "$summary" ]; then
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$summary")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
  echo "windows: $((total - failed)) passed, $failed failed"
else
  echo "windows: 0 passed, run did not finish (status $status)"
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
