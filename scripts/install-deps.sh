#!/usr/bin/env bash
# Installs the Debian packages the project needs. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git
  qtbase5-dev libqt5network5 libqt5dbus5 dbus-daemon
  libsqlitecpp-dev libsqlite3-dev sqlite3
  nlohmann-json3-dev libfmt-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  jq ccache
  libcpp-httplib-dev libssl-dev openssl
  libdw-dev
  xvfb
  g++-mingw-w64-x86-64-posix
  wine64 dpkg-dev
  libegl-dev libegl-mesa0 libgl1-mesa-dri
  strace
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
# sudo resets the environment, so the non-interactive front end is passed
# through env; a prompt would stall an unattended run.
run=(env DEBIAN_FRONTEND=noninteractive)
[ "$(id -u)" -ne 0 ] && run=(sudo "${run[@]}")
echo "install-deps: installing ${missing[*]}"
"${run[@]}" apt-get update -qq
"${run[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
