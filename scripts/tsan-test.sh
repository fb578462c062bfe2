#!/usr/bin/env bash
# Builds the graphics record's hammer test once more with ThreadSanitizer
# into build-tsan/ and runs it. Only the record and the test are
# instrumented; they link against the libraries of the normal build, whose
# locks ThreadSanitizer still sees through its interceptors.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARRION_BUILD_DIR:-$root/build}
out=$root/build-tsan
target=test_common_core_logic_hardware_detect_hammer
mkdir -p "$out"

ninja -C "$build" -j2 "$target" quarrion_standin >/dev/null

compile() {  # <source suffix> <object>
  local cmd
  cmd=$(jq -r --arg s "$1" '[.[] | select(.file | endswith($s))][0].command' \
        "$build/compile_commands.json")
  [ "$cmd" != "null" ] || { echo "tsan-test: no compile command for $1" >&2; exit 1; }
  # Same flags as the normal build, another object file, instrumented.
  cmd=$(sed -E "s# -o [^ ]+# -o $2#" <<<"$cmd")
  (cd "$build" && eval "$cmd -fsanitize=thread -fno-omit-frame-pointer")
}
compile "hardware_detect/graphic_info_detector.cpp" "$out/graphic_info_detector.o"
compile "hammer/graphic_info_hammer_test.cpp" "$out/graphic_info_hammer_test.o"

link=$(ninja -C "$build" -t commands "$target" | tail -1)
test_object=$(grep -oE '[^ ]*graphic_info_hammer_test\.cpp\.o' <<<"$link" | head -1)
link=${link//$test_object/$out/graphic_info_hammer_test.o $out/graphic_info_detector.o}
link=$(sed -E "s# -o [^ ]+# -o $out/$target#" <<<"$link")
(cd "$build" && eval "${link%&& :} -fsanitize=thread")

# Stand-in programs are found beside the normal build's test programs.
QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  "$out/$target" "$@"
