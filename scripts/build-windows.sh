#!/usr/bin/env bash
# Builds the whole helper for 64-bit Windows and lays out what ships:
#
#   scripts/build-windows.sh           build, then build-windows/dist/
#   scripts/build-windows.sh --pass    also run one update pass under Wine
#                                      (scripts/windows-pass.sh)
#
# Qt 5 (Core, Gui, Widgets, Network, TLS through Schannel), SQLiteCpp and
# GoogleTest are built once from Debian's source packages into
# ${QUARRION_WIN_CACHE:-~/.cache/quarrion-win} (scripts/windows-deps.sh
# --full); later runs reuse them and only build the project.
#
#   WIN_FULL_BUILD_DIR   the cross build tree (default build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >/dev/null
BUILD=${WIN_FULL_BUILD_DIR:-build-windows}
CACHE=${QUARRION_WIN_CACHE:-$HOME/.cache/quarrion-win}
prefix=$(scripts/windows-deps.sh --full | tail -1)
qt=$CACHE/qt5

cmake -S . -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw64.cmake" \
  -DQUARRION_WIN_PREFIX="$prefix" -DQUARRION_WIN_QT="$qt" \
  -DQUARRION_WINDOWS_LOWER_ONLY=OFF -DQUARRION_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
cmake --build "$BUILD" -j"${JOBS:-2}"

# What ships: the helper, the product's DLLs and programs it loads or starts
# from its own folder, Qt's DLLs and the plugins it loads.
dist=$BUILD/dist
rm -rf "$dist"
mkdir -p "$dist/platforms" "$dist/styles"
for f in QuarrionUpdate.exe client_extension.dll crashpad_handler.exe tavik.dll; do
  cp "$BUILD/bin/$f" "$dist/"
done
for m in Core Gui Widgets Network; do cp "$qt/bin/Qt5$m.dll" "$dist/"; done
for p in qwindows qoffscreen qminimal; do cp "$qt/plugins/platforms/$p.dll" "$dist/platforms/"; done
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$dist/styles/"
x86_64-w64-mingw32-strip --strip-unneeded "$dist"/*.exe "$dist"/*.dll "$dist"/*/*.dll
echo "build-windows: $(cd "$dist" && find . -type f | sort | tr '\n' ' ')"

if [ "${1:-}" = "--pass" ]; then
  exec scripts/windows-pass.sh "$BUILD"
fi
