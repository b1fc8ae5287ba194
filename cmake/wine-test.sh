#!/usr/bin/env bash
# Runs one Windows test program under Wine: wine-test.sh <timeout-seconds> <program.exe> [args...]
#
# The program's output goes to a file first and is printed afterwards, so that
# no Windows process the test leaves behind can hold the runner's pipe open.
# The program is killed when it outlives its time.
set -u
limit=$1; shift
exe=$1; shift
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEDEBUG=${WINEDEBUG:--all}
out=$(mktemp)
timeout --kill-after=5 "$((limit - 10))" wine "$exe" "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
rm -f "$out"
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
  echo "wine-test: $exe did not finish within $((limit - 10)) s" >&2
fi
exit $rc
