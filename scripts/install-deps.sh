#!/usr/bin/env bash
# Installs what the builds need on a fresh Debian machine; quiet when all of it is there.
set -euo pipefail
# The MinGW binutils are named on their own: a Windows test reads import tables with their objdump.
packages=(cmake make g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
          nlohmann-json3-dev googletest procps)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        "${missing[@]}" >/dev/null
fi
