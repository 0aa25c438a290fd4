#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-19, ASan+UBSan) into build/fuzz and runs each for SECONDS
# (default 600), one after another, from a copy of its kept corpus under fuzz/corpus. Prints per
# target the executions, their rate, the coverage reached and any finding; exits 1 on a finding.
# A finding is left in build/fuzz/run/NAME/findings, minimised beside it; once it is fixed, its
# minimised input goes to fuzz/findings/NAME, which every build replays.
#
# Usage: scripts/fuzz.sh [SECONDS [TARGET...]]   (every target when none is named)
#        scripts/fuzz.sh --seed   gathers seeds from examples/ and the tests and merges them
#                                 into fuzz/corpus (run after the inputs the code knows change)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz

"$root/scripts/install-deps.sh"
missing=()
for package in clang-19 libclang-rt-19-dev; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The targets are the ones fuzz/CMakeLists.txt declares.
mapfile -t targets < <(sed -n 's/^vemla_add_fuzz_target(\([a-z_0-9]*\).*/\1/p' "$root/fuzz/CMakeLists.txt")
if [ $# -gt 1 ]; then
    for name in "${@:2}"; do
        if ! printf '%s\n' "${targets[@]}" | grep -qx "$name"; then
            echo "no fuzz target named $name (known: ${targets[*]})" >&2
            exit 2
        fi
    done
    targets=("${@:2}")
fi

CC=clang-19 CXX=clang++-19 cmake -S "$root" -B "$build" -DVEMLA_FUZZ=ON -DVEMLA_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}" -- --no-print-directory >/dev/null

# The keys and words the validator and the compiler know, as JSON strings, and JSON's own tokens.
dict=$build/known-words.dict
{
    printf '"%s"\n' '{' '}' '[' ']' ':' ',' 'true' 'false' 'null' '0' '-1' '1.5' '65535' '1e400' '\\u0000'
    grep -ohE '"[A-Za-z0-9_.:/+-]{2,48}"' "$root"/src/helper_protocol/*.cpp "$root"/src/xray_native/*.cpp \
        "$root"/src/helper_protocol/*.h "$root"/src/xray_native/*.h | sort -u | sed 's/"/\\"/g; s/.*/"&"/'
} >"$dict"

if [ "${1:-}" = "--seed" ]; then
    seeds=$build/seeds
    rm -rf "$seeds"
    python3 "$root/fuzz/seed_corpora.py" "$seeds"
    for name in "${targets[@]}"; do
        [ -d "$seeds/$name" ] || continue
        mkdir -p "$root/fuzz/corpus/$name"
        "$build/fuzz/fuzz_$name" -merge=1 "$root/fuzz/corpus/$name" "$seeds/$name" \
            >"$build/merge-$name.log" 2>&1
        echo "$name: $(ls "$root/fuzz/corpus/$name" | wc -l) inputs kept"
    done
    exit 0
fi

seconds=${1:-600}
found=0
for name in "${targets[@]}"; do
    run=$build/run/$name
    rm -rf "$run"
    mkdir -p "$run/corpus" "$run/findings"
    cp "$root/fuzz/corpus/$name"/* "$run/corpus/"
    options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=30 -rss_limit_mb=4096
             -artifact_prefix="$run/findings/" -dict="$dict")
    # The engine's log tail is at most 4096 bytes, after the flag and exit code bytes.
    [ "$name" = engine_exit ] && options+=(-max_len=4101)
    status=0
    VEMLA_FUZZ_STAGES=1 "$build/fuzz/fuzz_$name" "${options[@]}" "$run/corpus" >"$run/log" 2>&1 ||
        status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$run/log" | tail -1)
    coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$run/log" | tail -1 || true)
    stages=$(sed -n 's/^stages: //p' "$run/log" | tail -1)
    echo "$name: ${executions:-?} executions, ${rate:-?}/s, ${coverage:-no coverage line}"
    [ -n "$stages" ] && echo "    reached: $stages"
    shopt -s nullglob
    artifacts=("$run/findings"/*)
    shopt -u nullglob
    if [ "$status" -ne 0 ] || [ ${#artifacts[@]} -gt 0 ]; then
        found=1
        echo "    FINDING (exit $status), log $run/log:"
        grep -m 3 -E 'ERROR:|fuzz check failed|runtime error|Test unit written' "$run/log" |
            sed 's/^/      /' || true
        for artifact in "${artifacts[@]}"; do
            "$build/fuzz/fuzz_$name" -minimize_crash=1 -max_total_time=60 \
                -exact_artifact_path="$artifact.min" "$artifact" >"$artifact.minimise.log" 2>&1 || true
            echo "      input: $artifact (minimised: $artifact.min)"
        done
    else
        echo "    no finding"
    fi
done
exit "$found"
