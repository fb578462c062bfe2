#!/usr/bin/env bash
# Builds what the Windows cross build needs and Debian does not ship for
# MinGW, from the sources of Debian's own packages, fetched through a
# private source list so the system's apt set-up stays as it is:
#   (default)  GoogleTest, for the Qt-free suites
#   --full     also Qt 5 (Core, Gui, Widgets, Network; TLS through Schannel)
#              and SQLiteCpp with the SQLite it bundles, for the whole helper
# Everything lands in a cache outside the source tree; a rerun with the
# cache in place does nothing. Prints the install prefix last.
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR=$PWD
CACHE=${QUARRION_WIN_CACHE:-$HOME/.cache/quarrion-win}
PREFIX=$CACHE/prefix
JOBS=${JOBS:-2}
full=0
[ "${1:-}" = "--full" ] && full=1

mkdir -p "$CACHE/src" "$PREFIX"

fetch_source() { # package -> prints the unpacked source folder
  local package=$1 pattern=$2
  if ! compgen -G "$CACHE/src/$pattern" >/dev/null; then
    mkdir -p "$CACHE/apt/lists/partial" "$CACHE/apt/sources.list.d"
    # The mirror the machine already uses, so no other host is reached.
    local mirror codename
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
             grep -oE '^(URIs:|deb) +[^ ]+' |
             awk '{print $2}' | grep -v security | head -1 || true)
    mirror=${mirror:-http://deb.debian.org/debian}
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    echo "deb-src $mirror $codename main" > "$CACHE/apt/sources.list.d/src.list"
    local apt_opts=(-o "Dir::Etc::SourceParts=$CACHE/apt/sources.list.d" -o Dir::Etc::SourceList=/dev/null
                    -o "Dir::State::Lists=$CACHE/apt/lists" -o Debug::NoLocking=1)
    apt-get "${apt_opts[@]}" -qq update >&2
    (cd "$CACHE/src" && apt-get "${apt_opts[@]}" -qq source --download-only "$package" >&2 &&
       dpkg-source -x --no-check ./"${package}"_*.dsc >&2 &&
       rm -f ./"${package}"_*)
  fi
  compgen -G "$CACHE/src/$pattern" | head -1 | xargs dirname
}

# --- GoogleTest ------------------------------------------------------------
if [ ! -f "$PREFIX/.googletest-done" ]; then
  gtest_src=$(fetch_source googletest 'googletest-*/CMakeLists.txt')
  cmake -S "$gtest_src" -B "$CACHE/build-googletest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$SOURCE_DIR/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -Dgtest_disable_pthreads=OFF -DBUILD_GMOCK=ON >&2
  cmake --build "$CACHE/build-googletest" -j"$JOBS" >&2
  cmake --install "$CACHE/build-googletest" >&2
  touch "$PREFIX/.googletest-done"
fi

if [ "$full" -eq 1 ]; then
  # --- SQLiteCpp, with the SQLite amalgamation its source carries ----------
  if [ ! -f "$PREFIX/.sqlitecpp-done" ]; then
    sqlitecpp_src=$(fetch_source sqlitecpp 'sqlitecpp-*/sqlite3/sqlite3.c')
    sqlitecpp_src=$(dirname "$sqlitecpp_src")
    cmake -S "$sqlitecpp_src" -B "$CACHE/build-sqlitecpp" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$SOURCE_DIR/cmake/toolchain-mingw64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
      -DSQLITECPP_INTERNAL_SQLITE=ON -DSQLITECPP_RUN_CPPLINT=OFF -DSQLITECPP_RUN_CPPCHECK=OFF \
      -DSQLITECPP_BUILD_TESTS=OFF -DSQLITECPP_BUILD_EXAMPLES=OFF -DSQLITE_ENABLE_COLUMN_METADATA=ON >&2
    cmake --build "$CACHE/build-sqlitecpp" -j"$JOBS" >&2
    cmake --install "$CACHE/build-sqlitecpp" >&2
    # The bundled SQLite installs no header of its own.
    install -m644 "$sqlitecpp_src/sqlite3/sqlite3.h" "$PREFIX/include/sqlite3.h"
    touch "$PREFIX/.sqlitecpp-done"
  fi

  # --- Qt 5 ------------------------------------------------------------------
  QT_PREFIX=$CACHE/qt5
  if [ ! -f "$QT_PREFIX/.qt-done" ]; then
    qt_src=$(fetch_source qtbase-opensource-src 'qtbase-opensource-src-*/configure')
    # qmake's mkspec calls ${CROSS_COMPILE}g++; the POSIX-threads flavour is
    # the one the helper is built with, so it gets the plain names here.
    # Every link also takes the MinGW runtime in statically (Qt's own
    # -static-runtime is for a static Qt only), so Qt's DLLs need no
    # MinGW DLL beside them.
    tools=$CACHE/mingw-bin
    rm -rf "$tools" && mkdir -p "$tools"
    for tool in /usr/bin/x86_64-w64-mingw32-*-posix; do
      name=$(basename "$tool")
      ln -s "$tool" "$tools/${name%-posix}"
    done
    for tool in /usr/bin/x86_64-w64-mingw32-*; do
      name=$(basename "$tool")
      case "$name" in *-posix|*-win32) continue ;; esac
      [ -e "$tools/$name" ] || [ -L "$tools/$name" ] || ln -s "$tool" "$tools/$name"
    done
    # Qt's Schannel code links -lSecur32 and -lCrypt32; MinGW's import
    # libraries are lower case, and this file system minds the case.
    mkdir -p "$tools/lib"
    for lib in secur32 crypt32; do
      ln -sf "/usr/x86_64-w64-mingw32/lib/lib$lib.a" "$tools/lib/lib${lib^}.a"
    done
    for compiler in gcc g++; do
      wrapper=$tools/x86_64-w64-mingw32-$compiler
      rm -f "$wrapper"
      cat > "$wrapper" <<WRAPPER
#!/bin/sh
# Links take the MinGW runtime in statically.
for a in "\$@"; do [ "\$a" = -c ] && exec /usr/bin/x86_64-w64-mingw32-$compiler-posix "\$@"; done
exec /usr/bin/x86_64-w64-mingw32-$compiler-posix "\$@" -L$tools/lib -static -static-libgcc -static-libstdc++
WRAPPER
      chmod +x "$wrapper"
    done
    build=$CACHE/build-qt
    # A build cut short goes on where it stopped; a configure cut short
    # starts again.
    [ -f "$build/.configured" ] || { rm -rf "$build" && mkdir -p "$build"; }
    # Only what the helper loads: no OpenGL, D-Bus, OpenSSL (Schannel
    # instead), SQL drivers or ICU. Debian's repack lacks wintab.h, hence
    # no tablet events. The MinGW runtime is linked into each DLL, so
    # nothing but system DLLs and Qt's own sit beside the program.
    [ -f "$build/.configured" ] || (cd "$build" && "$qt_src/configure" -xplatform win32-g++ \
       -device-option CROSS_COMPILE="$tools/x86_64-w64-mingw32-" \
       -prefix "$QT_PREFIX" -opensource -confirm-license -release -shared \
       -nomake examples -nomake tests -no-compile-examples -silent \
       -no-opengl -no-dbus -no-openssl -schannel -no-icu -no-fontconfig \
       -no-feature-tabletevent -no-feature-sql -no-feature-testlib \
       -no-feature-concurrent -no-feature-xml \
       -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz \
       -no-pch) >&2
    touch "$build/.configured"
    make -C "$build" -j"$JOBS" >&2
    make -C "$build" install >&2
    touch "$QT_PREFIX/.qt-done"
  fi
fi
echo "$PREFIX"
