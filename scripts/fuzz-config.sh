#!/usr/bin/env bash
# Builds the fuzz target of the configuration document readers with clang's
# libFuzzer (plus address and undefined-behaviour sanitizers) and runs it on
# a copy of the checked-in corpus. Not part of the normal build or test run.
#
#   scripts/fuzz-config.sh            build, then fuzz for 60 seconds
#   FUZZ_SECONDS=600 scripts/fuzz-config.sh
#   FUZZ_BUILD_ONLY=1 scripts/fuzz-config.sh
#
# New inputs land in build-fuzz/corpus; copy the interesting ones (small,
# new coverage) to tests/common/config/corpus/ so the corpus test runs them.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX_FUZZ=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || true)}
if [[ -z "$CXX_FUZZ" ]]; then
  echo "clang++ with libFuzzer is needed to build the fuzz target" >&2
  exit 1
fi
OUT=${FUZZ_DIR:-build-fuzz}
mkdir -p "$OUT/corpus"

SOURCES=(
  src/common/config/model/json_parse.cpp
  src/common/config/model/app_guest_config.cpp
  src/common/config/model/app_host_config.cpp
  src/common/config/model/app_local_user_config.cpp
  src/common/config/model/nimbrel_global_config.cpp
  fuzz/config_documents_fuzz.cpp
)
"$CXX_FUZZ" -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isrc -Itests/common/config \
  "${SOURCES[@]}" -lfmt -o "$OUT/config_documents_fuzz"
echo "built $OUT/config_documents_fuzz"
[[ -n "${FUZZ_BUILD_ONLY:-}" ]] && exit 0

cp -n tests/common/config/corpus/* "$OUT/corpus/" 2>/dev/null || true
exec "$OUT/config_documents_fuzz" "$OUT/corpus" \
  -max_total_time="${FUZZ_SECONDS:-60}" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -dict=fuzz/config_documents.dict
