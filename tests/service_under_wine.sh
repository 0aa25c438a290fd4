#!/usr/bin/env bash
# The helper executable as a Windows service under Wine's service control manager, in a Wine
# prefix of its own: the real executable's refusals, then the Wine variant's registration,
# start, status, stop and start-up checks.
# Usage: service_under_wine.sh BUILD_DIR (the Windows build tree)
set -uo pipefail
build=$(cd "$1" && pwd)
export WINEPREFIX=$build/service-test-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
install_dir="$WINEPREFIX/drive_c/Program Files/VemlaHelper"
data_dir="$WINEPREFIX/drive_c/ProgramData/VemlaHelper"
helper='C:\Program Files\VemlaHelper\vemla-tun-helper.exe'
real="$build/helper-src/vemla-tun-helper.exe"
variant="$build/tests/vemla-tun-helper-wine-variant.exe"
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"; "$wineserver" -k 2>/dev/null' EXIT

check() {  # check NAME CONDITION-RESULT DETAIL
    if [ "$2" = 0 ]; then
        printf 'ok    %s\n' "$1"
    else
        printf 'FAIL  %s: %s\n' "$1" "$3"
        failures=$((failures + 1))
    fi
}
# Wine's own programs (sc, reg) write CR LF; only their text is read.
run() { "$wine" "$@" 2>&1 | tr -d '\r'; }
# The helper's output is bytes: FILE holds exactly TEXT and one line feed, no carriage return.
same_bytes() {  # same_bytes FILE TEXT
    cmp -s "$1" <(printf '%s\n' "$2")
}
# FILE is one line ended by exactly one line feed, with no carriage return; prints the line.
one_line() {  # one_line FILE
    [ "$(wc -l <"$1")" = 1 ] && [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ] &&
        [ "$(tr -cd '\r' <"$1" | wc -c)" = 0 ] && head -c -1 "$1"
}
bytes() { od -c "$1" | head -5; }
query() { run sc query VemlaTunHelper; }
state() { query | awk '/STATE/ {print $4}'; }
exit_code() { query | awk '/WIN32_EXIT_CODE/ {print $3}'; }
wait_state() {  # wait_state STATE: at most 10 s
    for _ in $(seq 100); do
        [ "$(state)" = "$1" ] && return 0
        sleep 0.1
    done
    return 1
}
remove_service() {
    run sc stop VemlaTunHelper >/dev/null
    wait_state STOPPED
    run sc delete VemlaTunHelper >/dev/null
}
install() {  # install EXE: the installation with EXE as the helper
    rm -rf "$install_dir" "$data_dir"
    mkdir -p "$install_dir/rules" "$data_dir"
    cp "$1" "$install_dir/vemla-tun-helper.exe"
    cp "$build/tests/stand_in_xray/xray.exe" "$install_dir/xray.exe"
    printf 'placeholder' >"$install_dir/wintun.dll"
    cp "$(dirname "$0")"/../examples/rules/*.json "$install_dir/rules/"
    # The SID printer writes through the C runtime's text mode.
    "$wine" "$build/tests/vemla_print_user_sid.exe" | tr -d '\r' >"$data_dir/owner.sid"
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
    "$wineserver" -w
fi
# One Wine server for the whole run: a server that ends with its last program takes the service
# manager with it, and the next one starts the automatic service again, so a stop would seldom
# be seen. The prefix's own programs start here, away from any pipe a check reads: they live as
# long as the server, and so would a pipe they inherited.
"$wineserver" -p 2>/dev/null || true
"$wine" sc query VemlaTunHelper </dev/null >/dev/null 2>&1
remove_service >/dev/null 2>&1

echo "-- the real executable"
out=$("$wine" "$real" 2>&1); code=$?
check "started from a console without arguments it exits 0" "$code" "exit $code: $out"
for args in "--prepare-update --owner-pid 123" "--prepare-update --session S --owner-pid -5"; do
    "$wine" "$real" $args >"$work/out" 2>&1; code=$?
    [ "$code" = 2 ] && [ ! -s "$work/out" ]
    check "$args exits 2 writing nothing" $? "exit $code, wrote: $(bytes "$work/out")"
done
"$wine" "$real" --probe-status >"$work/out" 2>"$work/err"; code=$?
[ "$code" = 2 ] && [ ! -s "$work/out" ] &&
    same_bytes "$work/err" "Защищённый помощник недоступен. Установите его один раз с подтверждением Windows."
check "--probe-status without a service writes the client's failure, one line feed, and exits 2" $? \
    "exit $code: $(bytes "$work/err")"
install "$real"
"$wine" "$real" --register-service >"$work/out" 2>"$work/err"; code=$?
out=$(one_line "$work/err") && [ "$code" = 2 ] && [ ! -s "$work/out" ] &&
    [[ $out == "Untrusted owner or unrestricted ACL"* ]]
check "--register-service refuses in one line: Wine's files are never protected" $? \
    "exit $code: $(bytes "$work/err")"
run sc create VemlaTunHelper binPath= "\"$helper\"" start= auto >/dev/null
run sc start VemlaTunHelper >/dev/null
wait_state STOPPED
[ "$(exit_code)" = 1066 ]
check "registered by hand, the real service stops at start-up with 1066" $? "$(query)"
remove_service

echo "-- the Wine variant"
install "$variant"
entry() { run reg query 'HKLM\System\CurrentControlSet\Services\VemlaTunHelper'; }
out=$("$wine" "$helper" --register-service 2>&1); code=$?
config=$(entry)
[ "$code" = 0 ] && [[ $config == *"ImagePath    REG_SZ    \"$helper\""* ]] &&
    [[ $config == *"Start    REG_DWORD    0x2"* ]] && [[ $config == *"Type    REG_DWORD    0x10"* ]] &&
    [[ $config == *"ObjectName    REG_SZ    LocalSystem"* ]] &&
    [[ $config == *"DisplayName    REG_SZ    Vemla protected TUN helper"* ]]
check "registration creates the entry: quoted path, automatic start, LocalSystem" $? "exit $code $out $config"
out=$("$wine" "$helper" --register-service 2>&1); code=$?
[ "$code" = 0 ] && [ "$(entry)" = "$config" ]
check "a second registration finds the entry and writes the same settings" $? "exit $code $out $(entry)"

run sc start VemlaTunHelper >/dev/null
wait_state RUNNING
check "the service starts and reports running" $? "$(query)"
"$wine" "$helper" --probe-status >"$work/out"
out=$(one_line "$work/out") &&
    [[ $out == '{"adapter_recovered":false,"available":true,'*'"running":false,"version":"2.20.26"}' ]]
check "--probe-status prints the idle snapshot and one line feed" $? "$(bytes "$work/out")"

# A client that holds its connection until its standard input ends.
client_fifo=$(mktemp -u); mkfifo "$client_fifo"
"$wine" "$build/tools/vemla-helper-client/vemla-helper-client.exe" connect \
    "$(dirname "$0")/../examples/vless-reality.json" <"$client_fifo" >/dev/null 2>&1 &
holder=$!
exec 7>"$client_fifo"
for _ in $(seq 100); do
    "$wine" "$helper" --probe-status >"$work/out"
    out=$(one_line "$work/out") && [[ $out == *'"running":true'* ]] && break
    sleep 0.1
done
[[ $out == *'"running":true'* ]] && pgrep -f 'C:.Program Files.VemlaHelper.xray.exe' >/dev/null
check "a client connects and the engine runs" $? "$out"
began=$(date +%s%N)
run sc stop VemlaTunHelper >/dev/null
wait_state STOPPED
stopped=$(( ($(date +%s%N) - began) / 1000000 ))
sleep 0.5
[ "$(exit_code)" = 0 ] && ! pgrep -f 'C:.Program Files.VemlaHelper.xray.exe' >/dev/null
check "a stop during a connection stops the engine and the service with 0 (${stopped} ms)" $? "$(query)"
exec 7>&-; wait "$holder" 2>/dev/null; rm -f "$client_fifo"

run sc start VemlaTunHelper >/dev/null
wait_state RUNNING
sleep 0.5
began=$(date +%s%N)
run sc stop VemlaTunHelper >/dev/null
wait_state STOPPED
stopped=$(( ($(date +%s%N) - began) / 1000000 ))
[ "$(exit_code)" = 0 ]
check "a stop while idle ends the service with 0 (${stopped} ms from sc stop to STOPPED seen)" $? "$(query)"

remove_service
run sc create VemlaTunHelper binPath= "$helper" start= auto >/dev/null
run sc start VemlaTunHelper >/dev/null
wait_state RUNNING
"$wine" "$helper" --probe-status >"$work/out" 2>"$work/err"
[ ! -s "$work/out" ] &&
    same_bytes "$work/err" "Helper service executable is not the exact protected installation"
check "a service registered without quotes is refused by the client" $? "$(bytes "$work/err")"
remove_service
"$wine" "$helper" --register-service >/dev/null 2>&1

mkdir -p "$install_dir/rules/deeper/two"
ln -s /tmp "$install_dir/rules/deeper/two/stray"
run sc start VemlaTunHelper >/dev/null
wait_state RUNNING
check "an entry two levels below the install directory is not examined" $? "$(query)"
run sc stop VemlaTunHelper >/dev/null; wait_state STOPPED
rm -rf "$install_dir/rules/deeper"
ln -s /tmp "$install_dir/rules/stray"
run sc start VemlaTunHelper >/dev/null
wait_state STOPPED
[ "$(exit_code)" = 1066 ]
check "a stray link one level below the install directory stops the start with 1066" $? "$(query)"
rm -f "$install_dir/rules/stray"
remove_service

"$wineserver" -k 2>/dev/null
[ "$failures" = 0 ] && echo "all checks passed" || echo "$failures checks failed"
exit "$failures"
