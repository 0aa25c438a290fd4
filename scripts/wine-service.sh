#!/usr/bin/env bash
# A real helper service under Wine, for testing a client on Linux.
#
#   scripts/wine-service.sh up       build, lay out an installation, register and start it
#   scripts/wine-service.sh status   the service's status through --probe-status
#   scripts/wine-service.sh down     stop the service, remove its entry, end the prefix's Wine
#
# Wine ends its server, and with it the service manager and every service, a few seconds after
# the last program of the prefix exits; the service would then come back only when the next
# program starts (it starts automatically), racing that program's first request. So `up` keeps
# the prefix's Wine server running until `down`.
# The Wine prefix is $WINEPREFIX when set, else build/wine-service/prefix. The installation holds
# the helper's Wine variant under the real name (its installation checks also trust the Wine
# user, since Wine keeps no file owners), the stand-in engine as xray.exe, a wintun.dll
# placeholder and the built-in rule sources; owner.sid names the Wine user.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wine-service/prefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
install_dir="$WINEPREFIX/drive_c/Program Files/VemlaHelper"
data_dir="$WINEPREFIX/drive_c/ProgramData/VemlaHelper"
helper='C:\Program Files\VemlaHelper\vemla-tun-helper.exe'
build="$root/build/windows"

say() { printf '%s\n' "$*"; }

build_programs() {
    "$root/scripts/install-deps.sh"
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
            -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" -j "$(nproc)" --target vemla-tun-helper-wine-variant \
        vemla_stand_in_xray vemla_print_user_sid vemla-helper-client -- --no-print-directory \
        >/dev/null
}

ensure_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        "$wine" wineboot -i >/dev/null 2>&1 || true
        "$wineserver" -w 2>/dev/null || true
    fi
}

lay_out() {
    mkdir -p "$install_dir/rules" "$data_dir"
    cp "$build/tests/vemla-tun-helper-wine-variant.exe" "$install_dir/vemla-tun-helper.exe"
    cp "$build/tests/stand_in_xray/xray.exe" "$install_dir/xray.exe"
    printf 'placeholder' >"$install_dir/wintun.dll"
    cp "$root"/examples/rules/*.json "$install_dir/rules/"
    rm -f "$install_dir"/stand-in.*
    "$wine" "$build/tests/vemla_print_user_sid.exe" | tr -d '\r' >"$data_dir/owner.sid"
}

service_state() {
    "$wine" sc query VemlaTunHelper 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'
}

up() {
    build_programs
    ensure_prefix
    # Fails when a server already runs: one made to last by an earlier `up`, or one kept by
    # programs of the prefix, with which the service lives as long as they do.
    "$wineserver" -p 2>/dev/null || true
    if [ -n "$(service_state)" ]; then
        "$wine" sc stop VemlaTunHelper >/dev/null 2>&1 || true
        sleep 1
    fi
    lay_out
    "$wine" "$helper" --register-service
    "$wine" sc start VemlaTunHelper >/dev/null
    for _ in $(seq 50); do
        [ "$(service_state)" = RUNNING ] && break
        sleep 0.2
    done
    if [ "$(service_state)" != RUNNING ]; then
        say "the service did not start: $("$wine" sc query VemlaTunHelper | tr -d '\r')" >&2
        exit 1
    fi
    say "VemlaTunHelper runs in the Wine prefix $WINEPREFIX"
    say "  installation: $install_dir"
    say "  data:         $data_dir"
}

status() {
    "$wine" "$helper" --probe-status
}

down() {
    "$wine" sc stop VemlaTunHelper >/dev/null 2>&1 || true
    for _ in $(seq 50); do
        state=$(service_state)
        [ -z "$state" ] || [ "$state" = STOPPED ] && break
        sleep 0.2
    done
    "$wine" sc delete VemlaTunHelper >/dev/null 2>&1 || true
    "$wineserver" -k 2>/dev/null || true
    say "VemlaTunHelper stopped and removed from $WINEPREFIX"
}

case "${1:-}" in
    up) up ;;
    status) status ;;
    down) down ;;
    *)
        say "usage: $0 up|status|down" >&2
        exit 2
        ;;
esac
