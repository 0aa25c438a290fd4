#!/usr/bin/env bash
# Figures of the helper running under Wine's service manager: the time of a `status` request,
# N times (default 200) through the helper's own --probe-status and N times through the client
# library (vemla-helper-client status), each as a whole command including Wine's process start;
# then the service process's CPU over IDLE seconds (default 60) with no client.
# Brings the service up with scripts/wine-service.sh and takes it down again. Prints figures
# only: nothing here passes or fails on a number.
#
# Usage: benchmarks/status_round_trip.sh [N [IDLE]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-200}
idle=${2:-60}
export WINEPREFIX=${WINEPREFIX:-$root/build/wine-service/prefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
helper='C:\Program Files\VemlaHelper\vemla-tun-helper.exe'
client="$root/build/windows/tools/vemla-helper-client/vemla-helper-client.exe"

bash "$root/scripts/wine-service.sh" up >/dev/null
trap 'bash "$root/scripts/wine-service.sh" down >/dev/null 2>&1 || true' EXIT
cmake --build "$root/build/windows" --target vemla-helper-client -- --no-print-directory >/dev/null
# The service's process, as Linux sees the Wine process that runs it: its command line is the
# registered path alone (a client mode carries arguments).
pid=$(pgrep -f -x 'C:.Program Files.VemlaHelper.vemla-tun-helper.exe' | head -1 || true)
echo "service process: ${pid:-not found}"

# Runs the command COUNT times and prints the median and the 99th percentile in milliseconds.
time_runs() {
    local label=$1
    shift
    local times=()
    for _ in $(seq "$count"); do
        local start end
        start=$(date +%s%N)
        "$@" >/dev/null
        end=$(date +%s%N)
        times+=($(((end - start) / 1000000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk -v label="$label" '
        { t[NR] = $1 }
        END {
            median = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
            p99 = t[int(NR * 0.99 + 0.999)]
            printf "%s: %d runs, median %d ms, 99th percentile %d ms, max %d ms\n",
                   label, NR, median, p99, t[NR]
        }'
}

time_runs "status via --probe-status" "$wine" "$helper" --probe-status
time_runs "status via the client library" "$wine" "$client" status

if [ -z "$pid" ] || [ ! -r "/proc/$pid/stat" ]; then
    echo "idle CPU: the service's process is gone"
    ps -eo pid,args | grep -i vemla | grep -v grep || true
    exit 0
fi
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(ticks)
sleep "$idle"
after=$(ticks)
echo "idle CPU over ${idle} s: $((after - before)) clock ticks of $(getconf CLK_TCK) per second"
