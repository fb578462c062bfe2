#!/usr/bin/env bash
# Builds one fuzz target with clang's libFuzzer (plus address and
# undefined-behaviour sanitizers) and runs it on its seeded corpus. Not part
# of the normal build or test run.
#
#   scripts/fuzz.sh TARGET              build, then fuzz for 60 seconds
#   FUZZ_SECONDS=600 scripts/fuzz.sh TARGET
#   FUZZ_BUILD_ONLY=1 scripts/fuzz.sh TARGET
#
# TARGET:
#   config    the configuration document readers, on a copy of the checked-in
#             corpus. New inputs land in build-fuzz/corpus; copy the
#             interesting ones (small, new coverage) to
#             tests/common/config/corpus/ so the corpus test runs them.
#   graphics  the graphics texts, seeded with diagnostic reports made by the
#             stand-in tool.
#   machine   the machine-fact parsers, seeded with the captured machines' files.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-}
case "$target" in
  config)
    NAME=config_documents_fuzz
    CORPUS=corpus
    SOURCES=(
      src/common/config/model/json_parse.cpp
      src/common/config/model/app_guest_config.cpp
      src/common/config/model/app_host_config.cpp
      src/common/config/model/app_local_user_config.cpp
      src/common/config/model/nimbrel_global_config.cpp
      fuzz/config_documents_fuzz.cpp
    )
    BUILD_FLAGS=(-Itests/common/config -lfmt)
    RUN_FLAGS=(-max_len=65536 -timeout=10 -rss_limit_mb=2048 -dict=fuzz/config_documents.dict)
    ;;
  graphics)
    NAME=dxdiag_report_fuzz
    CORPUS=graphics-corpus
    SOURCES=(src/common/core/logic/hardware_detect/dxdiag_report.cpp fuzz/dxdiag_report_fuzz.cpp)
    BUILD_FLAGS=()
    RUN_FLAGS=()
    ;;
  machine)
    NAME=machine_facts_fuzz
    CORPUS=machine-corpus
    SOURCES=(src/platform/machine_facts.cpp fuzz/machine_facts_fuzz.cpp)
    BUILD_FLAGS=()
    RUN_FLAGS=(-max_len=65536 -timeout=10 -rss_limit_mb=2048)
    ;;
  *)
    echo "usage: $0 config|graphics|machine" >&2
    exit 2
    ;;
esac

CXX_FUZZ=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || true)}
if [[ -z "$CXX_FUZZ" ]]; then
  echo "clang++ with libFuzzer is needed to build the fuzz target" >&2
  exit 1
fi
OUT=${FUZZ_DIR:-build-fuzz}
mkdir -p "$OUT/$CORPUS"

"$CXX_FUZZ" -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isrc "${SOURCES[@]}" ${BUILD_FLAGS[@]+"${BUILD_FLAGS[@]}"} -o "$OUT/$NAME"
echo "built $OUT/$NAME"
[[ -n "${FUZZ_BUILD_ONLY:-}" ]] && exit 0

case "$target" in
  config)
    cp -n tests/common/config/corpus/* "$OUT/$CORPUS/" 2>/dev/null || true
    ;;
  graphics)
    # A report of this machine and one of a captured two-card machine.
    if [[ -x build/bin/dxdiag ]]; then
      build/bin/dxdiag /t "$OUT/$CORPUS/this_machine.txt" || true
      drm=$(mktemp -d)
      for c in "card0 0x8086 0x9bc5 i915" "card1 0x10de 0x2504 nvidia"; do
        set -- $c
        mkdir -p "$drm/$1/device"
        echo "$2" > "$drm/$1/device/vendor"
        echo "$3" > "$drm/$1/device/device"
        echo "DRIVER=$4" > "$drm/$1/device/uevent"
      done
      QUARRION_DXDIAG_DRM_ROOT=$drm build/bin/dxdiag /t "$OUT/$CORPUS/two_cards.txt" || true
      rm -rf "$drm"
    fi
    ;;
  machine)
    # Every captured file, named by its path so they do not collide.
    while IFS= read -r -d '' f; do
      cp -n "$f" "$OUT/$CORPUS/$(echo "${f#tests/platform/fixtures/machine/}" | tr '/' '_')"
    done < <(find tests/platform/fixtures/machine -type f -size +0 -print0)
    ;;
esac
exec "$OUT/$NAME" "$OUT/$CORPUS" -max_total_time="${FUZZ_SECONDS:-60}" ${RUN_FLAGS[@]+"${RUN_FLAGS[@]}"}
