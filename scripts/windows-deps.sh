#!/usr/bin/env bash
# Builds what the Windows cross build needs and Debian does not ship for
# MinGW: GoogleTest, from the sources of Debian's own googletest package,
# fetched through a private source list so the system's apt set-up stays as
# it is. Everything lands in a cache outside the source tree; a rerun with
# the cache in place does nothing. Prints the install prefix last.
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR=$PWD
CACHE=${QUARRION_WIN_CACHE:-$HOME/.cache/quarrion-win}
PREFIX=$CACHE/prefix
STAMP=$PREFIX/.googletest-done

if [ -f "$STAMP" ]; then
  echo "$PREFIX"
  exit 0
fi

mkdir -p "$CACHE/apt/lists/partial" "$CACHE/apt/sources.list.d" "$CACHE/src"
# The mirror the machine already uses, so no other host is reached.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
         grep -oE '^(URIs:|deb) +[^ ]+' |
         awk '{print $2}' | grep -v security | head -1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
echo "deb-src $mirror $codename main" > "$CACHE/apt/sources.list.d/src.list"
apt_opts=(-o "Dir::Etc::SourceParts=$CACHE/apt/sources.list.d" -o Dir::Etc::SourceList=/dev/null
          -o "Dir::State::Lists=$CACHE/apt/lists" -o Debug::NoLocking=1)

if ! compgen -G "$CACHE/src/googletest-*/CMakeLists.txt" >/dev/null; then
  apt-get "${apt_opts[@]}" -qq update >&2
  (cd "$CACHE/src" && apt-get "${apt_opts[@]}" -qq source --download-only googletest >&2 &&
     dpkg-source -x --no-check ./googletest_*.dsc >&2)
fi
gtest_src=$(compgen -G "$CACHE/src/googletest-*/CMakeLists.txt" | head -1 | xargs dirname)

cmake -S "$gtest_src" -B "$CACHE/build-googletest" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$SOURCE_DIR/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
  -Dgtest_disable_pthreads=OFF -DBUILD_GMOCK=ON >&2
cmake --build "$CACHE/build-googletest" -j"${JOBS:-2}" >&2
cmake --install "$CACHE/build-googletest" >&2
touch "$STAMP"
echo "$PREFIX"
