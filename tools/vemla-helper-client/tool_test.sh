#!/usr/bin/env bash
# The built tool as a person runs it, with no service installed: the usage, a bad command, and
# a status request that cannot reach the helper.
# Usage: tool_test.sh RUNNER... TOOL.exe
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

"$@" --help >"$work/out" 2>"$work/err"
[ $? -eq 0 ] || fail "--help did not exit with 0"
grep -q "Exit codes" "$work/out" || fail "--help printed no usage"

"$@" frobnicate >"$work/out" 2>"$work/err"
[ $? -eq 2 ] || fail "a bad command did not exit with 2"
grep -q "usage:" "$work/err" || fail "a bad command printed no usage on standard error"

"$@" status >"$work/out" 2>"$work/err"
[ $? -eq 1 ] || fail "status without a service did not exit with 1"
grep -q "Защищённый помощник недоступен" "$work/err" || fail "status printed: $(cat "$work/err")"
[ ! -s "$work/out" ] || fail "status without a service wrote to standard output"
echo "tool: 3 passed, 0 failed"
