#!/usr/bin/env bash
# The DLLs that the executables we ship import at load time, read from their import tables. The
# loader resolves those before wmain can restrict where DLLs come from, so any of them that the
# loader may look for beside the executable lets a DLL planted in a download folder run as
# whoever started the installer there.
# Usage: load_time_imports.sh EXECUTABLE.exe...
set -uo pipefail
objdump=x86_64-w64-mingw32-objdump

# Known DLLs are mapped from the system directory whatever lies beside the executable, and
# ntdll is in every process before the executable is; every other DLL is loaded at run time.
system_dlls=(kernel32.dll advapi32.dll msvcrt.dll ws2_32.dll ntdll.dll)

is_system_dll() {
    local name=${1,,} known
    for known in "${system_dlls[@]}"; do
        [ "$name" = "$known" ] && return 0
    done
    return 1
}

failures=0
for executable in "$@"; do
    name=$(basename "$executable")
    if ! table=$("$objdump" -p "$executable"); then
        echo "FAIL  $name: its headers cannot be read"
        failures=$((failures + 1))
        continue
    fi
    mapfile -t imports < <(awk '$1 == "DLL" && $2 == "Name:" {print $3}' <<<"$table")
    # Every Windows executable imports at least KERNEL32: none at all means the table was missed.
    if [ ${#imports[@]} -eq 0 ]; then
        echo "FAIL  $name: no import table found"
        failures=$((failures + 1))
        continue
    fi
    echo "$name imports: ${imports[*]}"
    for dll in "${imports[@]}"; do
        if ! is_system_dll "$dll"; then
            echo "FAIL  $name imports $dll, which is not a known DLL"
            failures=$((failures + 1))
        fi
    done
done
if [ $# -eq 0 ]; then
    echo "FAIL  no executable given"
    failures=1
fi
[ "$failures" -eq 0 ]
