#!/usr/bin/env bash
# Runs a Windows program under Wine: the cross build's emulator. Uses the
# WINEPREFIX and server the caller set up (scripts/test-windows.sh makes a
# fresh one); quiet unless WINEDEBUG says otherwise.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
exec "$wine" "$@"
