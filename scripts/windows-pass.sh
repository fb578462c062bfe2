#!/usr/bin/env bash
# One update pass of the Windows helper under Wine, on a sandbox product
# machine: an old client to wait for, an emulator to ask to quit, an old
# version to remove, the client to relaunch with its options, and the
# built-in packages refreshed from the configuration service stand-in (the
# Linux one, HTTPS on loopback, its CA trusted through the product
# environment). Shows the log, the spool and what the stand-ins recorded.
#
#   scripts/windows-pass.sh [windows build dir]     (default build-windows)
#
# Runs in a fresh Wine prefix in a temporary folder, with one Wine server,
# stopped at the end. QUARRION_PASS_KEEP=1 keeps the sandbox.
set -euo pipefail
cd "$(dirname "$0")/.."
win_build=$(cd "${1:-build-windows}" && pwd)
dist=$win_build/dist
standin=$win_build/bin/standins/Quarrion.exe
envtool=$win_build/bin/quarrion-demo-env.exe
for f in "$dist/QuarrionUpdate.exe" "$standin" "$envtool"; do
  [ -f "$f" ] || { echo "windows-pass: missing $f (scripts/build-windows.sh builds it)" >&2; exit 1; }
done
# The service stand-in is a Linux program: from the POSIX build.
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
cmake --build "$BUILD_DIR" -j"${JOBS:-2}" --target quarrion_config_service >/dev/null
service=$PWD/$BUILD_DIR/bin/quarrion_config_service

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
scratch=$(mktemp -d -t quarrion-winpass.XXXXXX)
export WINEPREFIX=$scratch/wine WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
home=$scratch/home
started=()
finish() {
  local pid
  for pid in "${started[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  "$wineserver" -k 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "${QUARRION_PASS_KEEP:-0}" = 1 ]; then echo "sandbox kept: $scratch"; else rm -rf "$scratch"; fi
}
trap finish EXIT
mkdir -p "$WINEPREFIX" "$home"
"$wineserver" -p
"$wine" wineboot --init >/dev/null 2>&1
winpath() { "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
export QUARRION_HOME
QUARRION_HOME=$(winpath "$home")

title() { printf '\n== %s\n' "$*"; }
put() { mkdir -p "$(dirname "$1")" && printf '%s\n' "${2:-data}" >"$1"; }
install_program() { mkdir -p "$1" && cp "$standin" "$1/$2"; }
root=$home/install
put "$root/1.0.0.1/lib/plugins/codec.dll"
put "$root/1.0.0.1/res/skin.png"
install_program "$root/1.0.0.1" QuarrionVfs.exe
put "$root/1.0.0.2/logs/last-run.log" "the previous version's last log"
install_program "$root/1.0.0.2" Quarrion.exe
install_program "$root/1.0.0.3" Quarrion.exe
install_program "$root/1.0.0.3" QuarrionEmulator.exe
install_program "$root" QuarrionLauncher.exe
"$wine" "$envtool" client-install "$(winpath "$root")" 1.0.0.3

# The configuration service, with documents for the built-in packages.
svc=$home/service
scripts/make-test-ca.sh "$svc/ca" >/dev/null
for pkg in com.morvath.nimbrel com.morvath.launcher com.android.camera2; do
  mkdir -p "$svc/docs/$pkg"
  printf '{"keys":[{"key":"W","x":0.5,"y":0.8}]}' >"$svc/docs/$pkg/keymapping.json"
  printf '{"is_portrait_screen":false}' >"$svc/docs/$pkg/configfile.json"
done
"$service" --docs="$svc/docs" --state-dir="$svc/state" --tls-dir="$svc/ca" >/dev/null 2>&1 &
started+=($!)
for _ in $(seq 200); do [ -s "$svc/state/ports.json" ] && break; sleep 0.05; done
port=$(jq -r .primary "$svc/state/ports.json")
alt_port=$(jq -r .alternative "$svc/state/ports.json")
"$wine" "$envtool" set-env ConfigServiceUrl "https://127.0.0.1:$port"
"$wine" "$envtool" set-env ConfigServiceAltUrl "https://127.0.0.1:$alt_port"
"$wine" "$envtool" set-env ConfigServiceCaFile "$(winpath "$svc/ca/ca.crt")"
# Schannel under Wine does not use a CA handed to it with the connection:
# the machine trusts the stand-in's CA the way an administrator would.
"$wine" "$envtool" trust-ca "$(winpath "$svc/ca/ca.crt")"

# The old client (exits by itself after 3 s), a program from the old
# version, and the emulator.
commands=$home/standin/commands.jsonl
start() { "$wine" "$@" >/dev/null 2>&1 & started+=($!); }
recorded_pid() { # <program path>: the Windows pid its stand-in recorded
  local i
  for i in $(seq 200); do
    local pid
    pid=$(jq -r --arg p "$1" 'select(.argv[0] | ascii_downcase | endswith($p | ascii_downcase)) | .pid' \
      "$commands" 2>/dev/null | tail -1)
    [ -n "$pid" ] && { echo "$pid"; return 0; }
    sleep 0.05
  done
  echo "windows-pass: $1 did not start" >&2
  return 1
}
start "$root/1.0.0.2/Quarrion.exe" --standin-lifetime-ms=3000
old_client=$(recorded_pid '1.0.0.2\Quarrion.exe')
start "$root/1.0.0.1/QuarrionVfs.exe"
old_vfs=$(recorded_pid '1.0.0.1\QuarrionVfs.exe')
start "$root/1.0.0.3/QuarrionEmulator.exe"
emulator=$(recorded_pid '1.0.0.3\QuarrionEmulator.exe')

title "Sandbox: $QUARRION_HOME"
echo "  old client pid $old_client, old version's program pid $old_vfs, emulator pid $emulator (Windows pids)"
(cd "$root" && find . -mindepth 1 | sort | sed 's|^\./|    |')

args=(--appstore-pid "$old_client" --launch-store-tray 1)
title "Running under Wine: QuarrionUpdate.exe ${args[*]}"
t0=$(date +%s.%N)
set +e
(cd "$dist" && timeout 180 "$wine" ./QuarrionUpdate.exe "${args[@]}")
code=$?
set -e
t1=$(date +%s.%N)
printf '  exit code %s after %.1f s\n' "$code" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')"

title "Install root now"
(cd "$root" && find . -mindepth 1 | sort | sed 's|^\./|    |')
title "Stand-in events (quit requests)"
cat "$home/standin/events.jsonl" 2>/dev/null | sed 's/^/  /' || echo "  (none)"
title "Programs started (commands.jsonl)"
jq -c '{name, pid, argv: .argv[1:]}' "$commands" | sed 's/^/  /'
title "Configuration service requests"
jq -c '{seq, role, body}' "$svc/state/requests.jsonl" 2>/dev/null | sed 's/^/  /' || echo "  (none)"
title "Configs.db rows"
db=$(find "$home/appdata" -name Configs.db | head -1)
[ -n "$db" ] && sqlite3 -separator ' | ' "$db" "SELECT key, substr(value, 1, 60) FROM configs ORDER BY id" | sed 's/^/  /'
title "Guest files"
for f in "$home"/shared/config/*.conf; do [ -e "$f" ] && printf '  %s: %s\n' "$(basename "$f")" "$(cat "$f")"; done
title "Analytics spool"
spool=$(find "$home/appdata" -name events.jsonl | head -1)
[ -n "$spool" ] && jq -c '{event, params}' "$spool" | sed 's/^/  /'
title "Log"
cat "$home"/logs/*.log | sed 's/^/  /'
[ "$code" -eq 0 ]
