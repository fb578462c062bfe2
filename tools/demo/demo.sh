#!/usr/bin/env bash
# One restart pass of QuarrionUpdate.exe on a sandbox product machine.
#
#   tools/demo/demo.sh <bin dir>
#
# Lays out a client installation with four versions under a fresh
# QUARRION_HOME, starts stand-in product programs (the old client, a second
# client instance, a program running from an old version and its twin running
# from elsewhere, and an emulator that ignores quit requests), runs the helper
# and prints what it did. The configuration service stand-in runs on
# loopback with documents for the built-in packages and two installed
# applications; the demo shows what it was asked, what Configs.db holds and
# each guest file, then runs the helper again with the service down. Every
# process started here is ended before the script exits.
# QUARRION_DEMO_KEEP=1 keeps the sandbox directory.
set -euo pipefail

bin=$(cd "${1:?usage: demo.sh <bin dir>}" && pwd)
helper=$bin/QuarrionUpdate.exe
standin=$bin/standins/Quarrion.exe
envtool=$bin/quarrion-demo-env
service=$bin/quarrion_config_service
scripts_dir=$(cd "$(dirname "$0")/../../scripts" && pwd)
for f in "$helper" "$standin" "$envtool" "$service"; do
  [ -x "$f" ] || { echo "demo: missing $f (build first)" >&2; exit 1; }
done
for tool in jq sqlite3 openssl; do
  command -v $tool >/dev/null || { echo "demo: $tool is needed (scripts/install-deps.sh)" >&2; exit 1; }
done

home=$(mktemp -d -t quarrion-demo.XXXXXX)
export QUARRION_HOME=$home
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
root=$home/install
started=()

cleanup() {
  local pid
  for pid in "${started[@]}" $(launched_pids); do
    kill -KILL "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  if [ "${QUARRION_DEMO_KEEP:-0}" = 1 ]; then
    echo "sandbox kept: $home"
  else
    rm -rf "$home"
  fi
}
# Programs the helper started (recorded by the stand-ins themselves).
launched_pids() {
  [ -f "$home/standin/commands.jsonl" ] || return 0
  jq -r 'select(.name == "QuarrionLauncher.exe" or (.argv | index("--from"))) | .pid' \
    "$home/standin/commands.jsonl" 2>/dev/null || true
}
trap cleanup EXIT

# Bold titles on a terminal only: piped into a file or a pager they stay plain.
if [ -t 1 ]; then
  title() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  title() { printf '\n== %s\n' "$*"; }
fi
tree_of() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf '%p/\n' \) -o -printf '%p\n' | sort |
    sed 's|^\./|    |')
}

# --- the sandbox machine ------------------------------------------------------
put() { mkdir -p "$(dirname "$1")" && printf '%s\n' "${2:-data}" >"$1"; }
install_program() { mkdir -p "$1" && cp "$standin" "$1/$2" && chmod +x "$1/$2"; }

put "$root/1.0.0.1/lib/plugins/codec.dll"
put "$root/1.0.0.1/res/skin.png"
put "$root/1.0.0.1/logs/2023.log"
install_program "$root/1.0.0.1" QuarrionVfs.exe
put "$root/1.0.0.2/lib/plugins/codec.dll"
put "$root/1.0.0.2/logs/last-run.log" "the previous version's last log"
install_program "$root/1.0.0.2" Quarrion.exe
put "$root/1.0.0.3/lib/plugins/codec.dll"
install_program "$root/1.0.0.3" Quarrion.exe
install_program "$root/1.0.0.3" QuarrionEmulator.exe
put "$root/2.0.0.0/lib/plugins/codec.dll"
install_program "$root" QuarrionLauncher.exe
install_program "$home/elsewhere" QuarrionVfs.exe
"$envtool" client-install "$root" 1.0.0.3

start() { # <program> [args...]: start in the background, remember the pid
  "$@" >/dev/null 2>&1 &
  started+=($!)
  disown $!  # the helper kills some of them: no job notices for that
}
wait_recorded() { # <pid>: until the stand-in has recorded its start
  local i
  for i in $(seq 100); do
    grep -q "\"pid\":$1[,}]" "$home/standin/commands.jsonl" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "demo: process $1 did not start" >&2
  return 1
}

start "$root/1.0.0.2/Quarrion.exe" --standin-lifetime-ms=3000
old_client=$!
start "$root/1.0.0.2/Quarrion.exe"
second_client=$!
start "$root/1.0.0.1/QuarrionVfs.exe"
old_vfs=$!
start "$home/elsewhere/QuarrionVfs.exe"
other_vfs=$!
start env QUARRION_STANDIN_STUBBORN=1 "$root/1.0.0.3/QuarrionEmulator.exe"
emulator=$!
for pid in "$old_client" "$second_client" "$old_vfs" "$other_vfs" "$emulator"; do
  wait_recorded "$pid"
done

# --- the configuration service and the installed applications ----------------
svc=$home/service
"$scripts_dir/make-test-ca.sh" "$svc/ca" >/dev/null
doc() { mkdir -p "$svc/docs/$1" && printf '%s' "$3" >"$svc/docs/$1/$2.json"; }
for pkg in com.morvath.nimbrel com.morvath.launcher com.android.camera2 com.example.racer com.example.notes; do
  doc "$pkg" keymapping '{"keys":[{"key":"W","x":0.5,"y":0.8}]}'
  doc "$pkg" smartkeyconf "{\"smk\":\"$pkg\"}"
  doc "$pkg" appconfigjson '{"rotation":1}'
  doc "$pkg" globalconfig '{"feature_toggle":{"file_transfer":true}}'
  doc "$pkg" configfile '{"is_portrait_screen":false}'
done
# The racer offers split screen, in landscape; the notes app has no pane.
doc com.example.racer appconfigjson \
  '{"rotation":0,"function_config":{"breadmenu_gray_config":[{"item_id":209,"need_gray":0}]}}'
doc com.example.racer configfile '{"multipane":{"enable":"true","ratio":"0.6"},"notification":false}'
doc com.morvath.nimbrel configfile '{"multipane":{"enable":"true"},"low_system_memory_threshold_gb":16}'
"$service" --docs="$svc/docs" --state-dir="$svc/state" --tls-dir="$svc/ca" >/dev/null 2>&1 &
started+=($!)
disown $!
for i in $(seq 200); do [ -s "$svc/state/ports.json" ] && break; sleep 0.05; done
[ -s "$svc/state/ports.json" ] || { echo "demo: the configuration service did not start" >&2; exit 1; }
port=$(jq -r .primary "$svc/state/ports.json")
alt_port=$(jq -r .alternative "$svc/state/ports.json")
"$envtool" set-env ConfigServiceUrl "https://127.0.0.1:$port"
"$envtool" set-env ConfigServiceAltUrl "https://127.0.0.1:$alt_port"
"$envtool" set-env ConfigServiceCaFile "$svc/ca/ca.crt"
# The racer's display values from an older client, to be moved into its
# local user configuration.
"$envtool" set-number 'SOFTWARE\Morvath\Quarrion\Settings\App\com.example.racer' Clarity 2
mkdir -p "$home/appdata/4"
sqlite3 "$home/appdata/4/InstalledApp.db" <<'SQL'
CREATE TABLE apps(id INTEGER PRIMARY KEY AUTOINCREMENT,package_name varchar(256) unique,version_code varchar(128),
  version_name varchar(128),icon TEXT,name varchar(256),md5 varchar(64),engine_name varchar(64), file_path TEXT,
  json_data TEXT,state int,engine_type int);
CREATE TABLE source(package_name varchar(256), source_id varchar(128),
  CONSTRAINT unique_package_source UNIQUE (package_name, source_id));
INSERT INTO apps(package_name,name,state) VALUES ('com.example.racer','Racer',1003),('com.example.notes','Notes',1004),
  ('../../outside','Hostile',1003);
INSERT INTO source VALUES ('com.example.racer',''),('com.example.notes',''),('../../outside','');
SQL

title "Sandbox machine: $home"
echo "client install root: $root (current version 1.0.0.3)"
tree_of "$root"
echo
printf '  %-8s %s\n' PID PROGRAM \
  "$old_client" "1.0.0.2/Quarrion.exe          the old client (exits by itself after 3 s)" \
  "$second_client" "1.0.0.2/Quarrion.exe          a second client instance" \
  "$old_vfs" "1.0.0.1/QuarrionVfs.exe       runs from an old version" \
  "$other_vfs" "elsewhere/QuarrionVfs.exe     same name, outside the install root" \
  "$emulator" "1.0.0.3/QuarrionEmulator.exe  ignores quit requests"

tree_before=$(tree_of "$root")

# --- the run -------------------------------------------------------------------
args=(--appstore-pid "$old_client" --launch-store-tray 1)
title "Running: QuarrionUpdate.exe ${args[*]}"
t0=$(date +%s.%N)
set +e
"$helper" "${args[@]}"
code=$?
set -e
t1=$(date +%s.%N)
printf 'exit code %s after %.1f s (it waited for the old client, then up to 15 s for the emulator)\n' \
  "$code" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')"

# --- what happened -------------------------------------------------------------
spool=$(find "$home/appdata" -name events.jsonl 2>/dev/null | head -n1)
events() { [ -n "$spool" ] && jq -c "select(.event == \"$1\") | .params" "$spool" || true; }
# Ended programs we started stay zombies until reaped: they count as ended.
alive() { [ -r "/proc/$1/stat" ] && [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]; }

title "Asked to quit"
jq -r 'select(.event == "quit" or .event == "quit_ignored") |
       "  \(.name) pid \(.pid) got a quit request (from \"\(.name) --quit\", pid \(.from)) and " +
       (if .event == "quit" then "quit" else "ignored it" end)' \
  "$home/standin/events.jsonl" 2>/dev/null || true
echo "  outcome of each pass (quit_process events):"
events quit_process | jq -r '"    \(.proc_name) pid \(.pid), " +
  (if .location == "" then "first pass (ask, wait 200 ms)" else "forced pass at \(.location) (ask, wait up to 15 s, then terminate)" end) +
  ": " + ({"0": "exited by itself", "1": "terminated", "-1": "still running, left for the forced pass",
           "-2": "could not be ended"}[.result] // "result \(.result)") + ", \(.duration) ms"'

title "Killed"
events kill_process | jq -r '"  \(.proc_name) pid \(.pid) by \(.process_killer_name) at \(.process_kill_location): \(.success)"'

title "Processes now"
for entry in "old client:$old_client" "second client:$second_client" "vfs in 1.0.0.1:$old_vfs" \
  "vfs elsewhere:$other_vfs" "emulator:$emulator"; do
  pid=${entry##*:}
  if alive "$pid"; then state=running; else state=ended; fi
  printf '  %-15s pid %-7s %s\n' "${entry%%:*}" "$pid" "$state"
done

title "Old versions removed (current version 1.0.0.3)"
tree_after=$(tree_of "$root")
# Top-level folders as they were before the run, each compared with now.
for version in $(printf '%s\n' "$tree_before" | sed -nE 's|^    ([^/]+)/$|\1|p'); do
  if [ ! -e "$root/$version" ]; then
    echo "  $version: removed"
    continue
  fi
  before=$(printf '%s\n' "$tree_before" | grep "^    $version/" || true)
  after=$(printf '%s\n' "$tree_after" | grep "^    $version/" || true)
  if [ "$before" = "$after" ]; then
    echo "  $version: untouched"
  else
    kept=$(printf '%s\n' "$after" | sed -e "s|^    $version/||" -e '/^$/d' | tr '\n' ' ' | sed 's/ $//')
    echo "  $version: emptied, kept only: $kept"
  fi
done
echo "install root now:"
printf '%s\n' "$tree_after"
pending=$("$envtool" pending-deletes)
echo "  files scheduled for deletion at reboot: ${pending:-none}"

title "Relaunched"
launch=$(jq -c 'select(.name == "QuarrionLauncher.exe" or (.argv | index("--from")))' \
  "$home/standin/commands.jsonl" | head -n1)
if [ -n "$launch" ]; then
  echo "$launch" | jq -r '"  program: \(.argv[0])\n  pid:     \(.pid)\n  argv:    \(.argv[1:] | map(@json) | join(" "))"'
else
  echo "  nothing was launched"
fi

title "Events in the analytics spool"
if [ -n "$spool" ]; then
  jq -r '.event as $e | .params as $p |
         "  \($e): " + ([["proc_name","pid","process_killer_name","process_kill_location",
                          "location","success","error_code","result","duration"][] |
                         select($p[.] != null) | "\(.)=\($p[.])"] | join(" "))' "$spool"
  # Without a real display no screen is made up: every event carries the
  # no-screen values.
  echo "  screen facts in the events (platform ${QT_QPA_PLATFORM}):"
  jq -r '(.common + .volatile) | "    resolution=\(.resolution) dpi=\(.dpi) screen_inch=\(.screen_inch) monitor_refresh_rate=\"\(.monitor_refresh_rate)\""' \
    "$spool" | sort | uniq -c
else
  echo "  (no spool written)"
fi

title "Helper log (restart and cleanup lines)"
log_lines() {
  grep -hE 'RestartAppStore|ClearOldVersion|removing directory|Try to quit|process exited|kill_process|Timeout|Terminate|invalid version|failed to|remove file force' \
    "$home"/logs/*.log 2>/dev/null |
    sed -E 's/^[0-9-]+ [0-9:.]+ (\[[A-Z]\]) \[([^]]*)\] \[[^]]*\] \[[^]]*\] /  \1 \2: /' || true
}
log_lines | grep -v 'remove file force' || true
forced=$(log_lines | grep -c 'remove file force' || true)
echo "  (and $forced \"remove file force\" lines: one per product program name looked for in each removed version)"

# --- the configuration refresh ------------------------------------------------
show_rows() {
  sqlite3 -separator ' | ' "$home/appdata/4/Configs.db" \
    "SELECT key, substr(value, 1, 90), encrypt FROM configs ORDER BY id" | sed 's/^/  /'
}
show_guest_files() {
  local f
  for f in "$home"/shared/config/*.conf; do
    [ -e "$f" ] || { echo "  (none)"; return; }
    printf '  %s\n      %s\n' "$(basename "$f")" "$(cat "$f")"
  done
}
title "Configuration service: requests received (built-ins first, then the installed apps in query order)"
jq -r '"  #\(.seq) \(.role) port \(.port): \(.body)\n      header: \(.header_json | tostring)"' \
  "$svc/state/requests.jsonl"
echo "  (\"../../outside\" from InstalledApp.db is no package name: skipped, nothing asked, nothing written)"
grep -h 'skip config refresh' "$home"/logs/*.log | sed -E 's/^.*\] (skip)/  log: \1/' || true

title "Configs.db rows (key | value, first 90 bytes | encrypt)"
show_rows

title "Guest configuration files ($home/shared/config)"
show_guest_files
echo "  racer: pane patched (split screen offered, user default on; ratio kept; dragBar added; orientation 0 from rotation 0)"
echo "  notes, camera: no pane, written exactly as stored"

title "Registry migration (racer's Clarity moved into its local user configuration)"
sqlite3 "$home/appdata/4/Configs.db" \
  "SELECT '  ' || key || ' = ' || value FROM configs WHERE key LIKE '%local_user_config'"

# --- again, with the service down ----------------------------------------------
document_rows() {
  sqlite3 "$home/appdata/4/Configs.db" "SELECT key, value FROM configs WHERE key NOT LIKE '%local_user_config' ORDER BY key"
}
rows_before=$(document_rows | md5sum)
rm -f "$home"/shared/config/*.conf
gen=$(( $(date +%s) ))
printf '{"generation":%s,"refuse":"both"}' "$gen" >"$svc/state/control.json.tmp"
mv "$svc/state/control.json.tmp" "$svc/state/control.json"
for i in $(seq 200); do
  [ "$(jq -r .generation "$svc/state/control.applied" 2>/dev/null)" = "$gen" ] && break
  sleep 0.05
done
requests_before=$(wc -l <"$svc/state/requests.jsonl")
mv "$home/logs" "$home/logs.first-run"
title "Running again with the service refusing connections: QuarrionUpdate.exe --launch-store-tray 1"
set +e
"$helper" --launch-store-tray 1
set -e
echo "  requests received this time: $(( $(wc -l <"$svc/state/requests.jsonl") - requests_before ))"
echo "  \"request nimbrel config failed!\" lines: $(cat "$home"/logs/*.log | grep -c 'request nimbrel config failed') (three attempts for each of 5 packages)"
grep -h 'request nimbrel config failed' "$home"/logs/*.log | head -n1 |
  sed -E 's/^[0-9-]+ [0-9:.]+ (\[[A-Z]\]) \[([^]]*)\] \[[^]]*\] \[[^]]*\] /  e.g. \1 \2: /'
if [ "$(document_rows | md5sum)" = "$rows_before" ]; then
  echo "  Configs.db: the service documents are unchanged"
else
  echo "  Configs.db: the service documents CHANGED"
fi
echo "  local user configurations now (the launcher's density asked for its default clarity, which is stored):"
sqlite3 "$home/appdata/4/Configs.db" \
  "SELECT '    ' || key || ' = ' || value FROM configs WHERE key LIKE '%local_user_config'"
title "Guest files written from the stored documents"
show_guest_files
