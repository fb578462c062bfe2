#!/usr/bin/env bash
# Kept for habit: the same as scripts/fuzz.sh config.
exec "$(dirname "$0")/fuzz.sh" config "$@"
