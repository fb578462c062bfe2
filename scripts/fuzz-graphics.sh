#!/usr/bin/env bash
# Kept for habit: the same as scripts/fuzz.sh graphics.
exec "$(dirname "$0")/fuzz.sh" graphics "$@"
