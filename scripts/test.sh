#!/usr/bin/env bash
# Builds the agent, its tools, its tests and the benchmarks, and runs every
# test under Wine (not the benchmarks: scripts/bench.sh runs those).
# On a fresh Debian machine as root it first installs what is missing.
# Usage: scripts/test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/scripts/setup.sh"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DLMVN_BUILD_TESTS=ON -DLMVN_BUILD_TOOLS=ON -DLMVN_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2

"$root/scripts/analyze.sh" "$build"

# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh" "$build"

status=0
# Every failure counts: a test that fails now and then is a defect of the test
# or of the agent, and a retry would hide it.
ctest --test-dir "$build" -j2 --output-on-failure --timeout 600 || status=$?

wineserver -k >/dev/null 2>&1 || true
exit $status
