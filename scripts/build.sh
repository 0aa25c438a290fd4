#!/usr/bin/env bash
# Configures and builds one of the two builds: native (ASan+UBSan) or windows (MinGW-w64).
# Usage: scripts/build.sh native|windows
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=$1
jobs=$(nproc)
case "$kind" in
    native)
        cmake -S "$root" -B "$root/build/native" -DVEMLA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
        ;;
    windows)
        cmake -S "$root" -B "$root/build/windows" \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
        ;;
    *)
        echo "usage: $0 native|windows" >&2
        exit 2
        ;;
esac
cmake --build "$root/build/$kind" -j "$jobs" -- --no-print-directory >/dev/null
