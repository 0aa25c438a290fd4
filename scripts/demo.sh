#!/usr/bin/env bash
# The helper end to end under Wine: the service starts, a client connects with an example
# configuration, the engine (a stand-in) runs and is stopped again, and an installer reserves
# the helper for an update and releases it. Every step says what it shows; the script stops with
# a non-zero exit code at the first step that does not give what it should.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export WINEPREFIX=${WINEPREFIX:-$root/build/wine-service/prefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
build="$root/build/windows"
client=("$wine" "$build/tools/vemla-helper-client/vemla-helper-client.exe")
helper='C:\Program Files\VemlaHelper\vemla-tun-helper.exe'
data_dir="$WINEPREFIX/drive_c/ProgramData/VemlaHelper"
session=de1110de1110de1110de1110de1110de1110de1110de1110de1110de1110de11

step() { printf '\n== %s\n' "$*"; }
fail() {
    printf '\nFAILED: %s\n' "$*" >&2
    exit 1
}
expect() {  # expect TEXT PATTERN WHAT
    [[ $1 == *$2* ]] || fail "$3 (expected to see $2)"
}

# Starts COMMAND with its standard input on a pipe this script holds open on descriptor FD, so
# that it keeps running until release_program FD; its output goes to OUT, and this waits up to
# 10 s for PATTERN to appear there.
declare -A held=()
hold_program() {  # hold_program FD OUT PATTERN COMMAND...
    local fd=$1 out=$2 pattern=$3 fifo
    shift 3
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    "$@" <"$fifo" >"$out" 2>&1 &
    held[$fd]=$!
    eval "exec $fd>\"\$fifo\""
    rm -f "$fifo"
    for _ in $(seq 100); do
        grep -q "$pattern" "$out" && break
        sleep 0.1
    done
}
release_program() {  # release_program FD
    eval "exec $1>&-"
    wait "${held[$1]}" || true
}
cleanup() {
    exec 7>&- 8>&- 2>/dev/null || true
    bash "$root/scripts/wine-service.sh" down >/dev/null 2>&1 || true
}
trap cleanup EXIT

step "1. Build the helper and start it as a Windows service under Wine"
bash scripts/wine-service.sh up
# The stand-in installer of step 8 is a test program, which the service script does not build.
cmake --build "$build" -j "$(nproc)" --target vemla_pipe_test_client -- --no-print-directory \
    >/dev/null

step "2. The helper's status, through its own --probe-status (it first proves the pipe is the service's)"
status=$("$wine" "$helper" --probe-status | tr -d '\r')
printf '%s\n' "$status"
expect "$status" '"running":false' "the idle helper runs no engine"

step "3. Connect with examples/vless-reality.json (the client holds the connection while it runs)"
client_out=$(mktemp)
hold_program 8 "$client_out" '"running"' "${client[@]}" connect examples/vless-reality.json
reply=$(tr -d '\r' <"$client_out")
printf '%s\n' "$reply"
expect "$reply" '"running": true' "the engine runs after connecting"

step "4. Status of the connection"
reply=$("${client[@]}" status | tr -d '\r')
printf '%s\n' "$reply"
expect "$reply" '"owned": true' "the connection belongs to this client"

step "5. The first bytes of active.json, the engine document the helper compiled"
head -c 600 "$data_dir/active.json" | fold -w 100
printf '...\n'
expect "$(cat "$data_dir/active.json")" '"vemla-api-in"' "the document has the control API inbound"

step "6. The engine's start line in engine.log"
line=$(grep -a 'core: Xray' "$data_dir/engine.log" | tr -d '\r' | head -1)
printf '%s\n' "$line"
expect "$line" ' started' "the engine reported its start"

step "7. Disconnect"
reply=$("${client[@]}" disconnect | tr -d '\r')
printf '%s\n' "$reply"
expect "$reply" '"running": false' "the engine is stopped"
release_program 8
rm -f "$client_out"

step "8. An installer reserves the helper for an update (--prepare-update --owner-pid <installer>)"
installer_out=$(mktemp)
hold_program 7 "$installer_out" '^exit' "$wine" "$build/tests/vemla_pipe_test_client.exe" \
    run-as-installer "$helper" --prepare-update --session "$session" --owner-pid '{pid}'
printf 'vemla-tun-helper.exe --prepare-update: %s\n' "$(tr -d '\r' <"$installer_out")"
expect "$(cat "$installer_out")" 'exit 0' "the reservation was granted"
status=$("$wine" "$helper" --probe-status | tr -d '\r')
printf '%s\n' "$status"
expect "$status" '"maintenance":true' "the helper is reserved"
reply=$("${client[@]}" connect examples/vless-reality.json 2>&1 | tr -d '\r' || true)
printf 'connect while reserved: %s\n' "$reply"
expect "$reply" 'Helper is reserved for an idle update' "no connection while reserved"

step "9. The installer ends, and with it the reservation"
release_program 7
rm -f "$installer_out"
for _ in $(seq 50); do
    status=$("$wine" "$helper" --probe-status | tr -d '\r')
    [[ $status == *'"available":true'* ]] && break
    sleep 0.1
done
printf '%s\n' "$status"
expect "$status" '"available":true' "the helper is available again"

step "10. Stop the service"
trap - EXIT
bash scripts/wine-service.sh down
printf '\nThe demo ran every step.\n'
