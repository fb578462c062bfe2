#!/usr/bin/env bash
# Builds the fuzz target of the graphics texts with clang's libFuzzer (plus
# address and undefined-behaviour sanitizers) and runs it, seeded with
# diagnostic reports made by the stand-in tool. Not part of the test run.
#
#   scripts/fuzz-graphics.sh            build, then fuzz for 60 seconds
#   FUZZ_SECONDS=600 scripts/fuzz-graphics.sh
#   FUZZ_BUILD_ONLY=1 scripts/fuzz-graphics.sh
set -euo pipefail
cd "$(dirname "$0")/.."

CXX_FUZZ=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || true)}
if [[ -z "$CXX_FUZZ" ]]; then
  echo "clang++ with libFuzzer is needed to build the fuzz target" >&2
  exit 1
fi
OUT=${FUZZ_DIR:-build-fuzz}
mkdir -p "$OUT/graphics-corpus"

"$CXX_FUZZ" -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isrc src/common/core/logic/hardware_detect/dxdiag_report.cpp fuzz/dxdiag_report_fuzz.cpp \
  -o "$OUT/dxdiag_report_fuzz"
echo "built $OUT/dxdiag_report_fuzz"
[[ -n "${FUZZ_BUILD_ONLY:-}" ]] && exit 0

# Seeds: a report of this machine and one of a captured two-card machine.
if [[ -x build/bin/dxdiag ]]; then
  build/bin/dxdiag /t "$OUT/graphics-corpus/this_machine.txt" || true
  drm=$(mktemp -d)
  for c in "card0 0x8086 0x9bc5 i915" "card1 0x10de 0x2504 nvidia"; do
    set -- $c
    mkdir -p "$drm/$1/device"
    echo "$2" > "$drm/$1/device/vendor"
    echo "$3" > "$drm/$1/device/device"
    echo "DRIVER=$4" > "$drm/$1/device/uevent"
  done
  QUARRION_DXDIAG_DRM_ROOT=$drm build/bin/dxdiag /t "$OUT/graphics-corpus/two_cards.txt" || true
  rm -rf "$drm"
fi
"$OUT/dxdiag_report_fuzz" -max_total_time="${FUZZ_SECONDS:-60}" "$OUT/graphics-corpus"
