#!/usr/bin/env bash
# Builds the benchmarks and runs them under Wine, then prints the table of
# figures (Markdown) with the machine it came from. On a fresh Debian machine
# as root it first installs what is missing. It uses a build directory and a
# Wine prefix of its own, so it does not disturb a test build.
# Usage: scripts/bench.sh [--build DIR] [lmvnbench options]
#   (default DIR: build-bench; e.g. --quick for a short smoke run, or
#    --burst 200 --growth 1000 to scale the job counts down; see
#    docs/performance.md)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
if [ "${1:-}" = "--build" ]; then
  build=${2:?--build needs a directory}
  shift 2
fi

"$root/scripts/setup.sh"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DLMVN_BUILD_BENCH=ON -DLMVN_BUILD_TESTS=OFF -DLMVN_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j2 --target bench

# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh" "$build"
# Start the desktop process now, detached from our streams: a program that
# creates a window (the bench client, which closes itself at once).
timeout 60 setsid wine "$build/bench/benchclient.exe" NUL warm-up </dev/null >/dev/null 2>&1 || true

result="$build/bench-result.md"
started=$(date -u '+%Y-%m-%d %H:%M UTC')
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
status=0
# Bounded: the benchmark itself bounds every wait; this is the last resort.
timeout 3600 wine "$build/bench/lmvnbench.exe" "$@" </dev/null >"$result.table" || status=$?
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
wineserver -k >/dev/null 2>&1 || true

{
  echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) cores," \
    "$(free -g | awk '/^Mem:/ {print $2}') GiB memory; $(uname -sr); $(wine --version)"
  echo "Run: $started, command: scripts/bench.sh $*;" \
    "load average before: $load_before, after: $load_after"
  echo
  cat "$result.table"
} >"$result"
rm -f "$result.table"
cat "$result"
echo "(also in $result)"
exit $status
