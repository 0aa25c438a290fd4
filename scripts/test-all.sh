#!/usr/bin/env bash
# Every test: the native build under AddressSanitizer and UBSan, then the Windows build under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

echo "== native build (ASan+UBSan)"
"$root/scripts/build.sh" native
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$root/build/native" --output-on-failure -j "$(nproc)"

echo "== windows build under Wine"
"$root/scripts/build.sh" windows
# The Wine tests share one pipe name and port: run them one at a time.
ctest --test-dir "$root/build/windows" --output-on-failure -j 1
