#!/usr/bin/env bash
# Kept for habit: the same as scripts/fuzz.sh machine.
exec "$(dirname "$0")/fuzz.sh" machine "$@"
