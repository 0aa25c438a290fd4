#!/usr/bin/env bash
# Runs a Windows executable under wine64 in the Wine prefix owned by this build tree.
# Usage: wine-run.sh PREFIX_DIR PROGRAM.exe [ARGS...]
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    # Two test programs may start together; only one of them initialises the prefix.
    exec 9>"$prefix.lock"
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        "$wine64" wineboot -i >/dev/null 2>&1 || true
        "$(dirname "$wine64")/wineserver" -w 2>/dev/null || true
    fi
    flock -u 9
fi
exec "$wine64" "$@"
