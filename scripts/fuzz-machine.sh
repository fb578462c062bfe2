#!/usr/bin/env bash
# Builds the fuzz target of the machine-fact parsers with clang's libFuzzer
# (plus address and undefined-behaviour sanitizers) and runs it, seeded with
# the captured machines' files. Not part of the normal build or test run.
#
#   scripts/fuzz-machine.sh            build, then fuzz for 60 seconds
#   FUZZ_SECONDS=600 scripts/fuzz-machine.sh
#   FUZZ_BUILD_ONLY=1 scripts/fuzz-machine.sh
set -euo pipefail
cd "$(dirname "$0")/.."

CXX_FUZZ=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || true)}
if [[ -z "$CXX_FUZZ" ]]; then
  echo "clang++ with libFuzzer is needed to build the fuzz target" >&2
  exit 1
fi
OUT=${FUZZ_DIR:-build-fuzz}
mkdir -p "$OUT/machine-corpus"

"$CXX_FUZZ" -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isrc src/platform/machine_facts.cpp fuzz/machine_facts_fuzz.cpp \
  -o "$OUT/machine_facts_fuzz"
echo "built $OUT/machine_facts_fuzz"
[[ -n "${FUZZ_BUILD_ONLY:-}" ]] && exit 0

# Seeds: every captured file, named by its path so they do not collide.
while IFS= read -r -d '' f; do
  cp -n "$f" "$OUT/machine-corpus/$(echo "${f#tests/platform/fixtures/machine/}" | tr '/' '_')"
done < <(find tests/platform/fixtures/machine -type f -size +0 -print0)
exec "$OUT/machine_facts_fuzz" "$OUT/machine-corpus" \
  -max_total_time="${FUZZ_SECONDS:-60}" -max_len=65536 -timeout=10 -rss_limit_mb=2048
