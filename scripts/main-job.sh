#!/usr/bin/env bash
# The main job: compile an example start request offline into the Xray document the helper
# would write to active.json.
# Usage: scripts/main-job.sh [REQUEST.json]  (default: examples/vless-reality.json)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DVEMLA_TESTS=OFF >/dev/null
cmake --build "$root/build/release" -j "$(nproc)" --target vemla-xray-compile -- --no-print-directory >/dev/null
exec "$root/build/release/tools/vemla-xray-compile/vemla-xray-compile" \
    --rules-dir "$root/examples/rules" "${1:-$root/examples/vless-reality.json}"
