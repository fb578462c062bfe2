#!/usr/bin/env bash
# One restart pass of QuarrionUpdate.exe on a sandbox product machine.
#
#   tools/demo/demo.sh <bin dir>
#
# Lays out a client installation with four versions under a fresh
# QUARRION_HOME, starts stand-in product programs (the old client, a second
# client instance, a program running from an old version and its twin running
# from elsewhere, and an emulator that ignores quit requests), runs the helper
# and prints what it did. Every process started here is ended before the
# script exits. QUARRION_DEMO_KEEP=1 keeps the sandbox directory.
set -euo pipefail

bin=$(cd "${1:?usage: demo.sh <bin dir>}" && pwd)
helper=$bin/QuarrionUpdate.exe
standin=$bin/standins/Quarrion.exe
envtool=$bin/quarrion-demo-env
for f in "$helper" "$standin" "$envtool"; do
  [ -x "$f" ] || { echo "demo: missing $f (build first)" >&2; exit 1; }
done
command -v jq >/dev/null || { echo "demo: jq is needed (scripts/install-deps.sh)" >&2; exit 1; }

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
