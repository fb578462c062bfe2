#!/usr/bin/env bash
# Installs the Debian packages the project needs. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git
  qtbase5-dev libqt5network5
  libsqlitecpp-dev libsqlite3-dev sqlite3
  nlohmann-json3-dev libfmt-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  jq ccache
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
