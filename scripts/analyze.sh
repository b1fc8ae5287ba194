#!/usr/bin/env bash
# Static analysis of the agent and the tools: cppcheck, then clang-tidy with
# the mingw-w64 headers. Exits non-zero on any finding.
# Usage: scripts/analyze.sh BUILD_DIR   (a configured build with compile_commands.json)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: scripts/analyze.sh BUILD_DIR}" && pwd)
cd "$root"

echo "analyze: cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
  --platform=win64 -D_WIN32 -DUNICODE -D_UNICODE -I src --inline-suppr --quiet \
  --suppress=missingIncludeSystem --suppress=useStlAlgorithm --error-exitcode=1 src tools packaging

echo "analyze: clang-tidy"
gxx=$(x86_64-w64-mingw32-g++-posix -print-file-name=include/c++ 2>/dev/null || true)
[ -d "$gxx" ] || gxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ | head -n1)
mapfile -t sources < <(find src tools packaging -name '*.cpp' | sort)
out=$(mktemp)
status=0
clang-tidy -p "$build" --quiet \
  --extra-arg=--target=x86_64-w64-mingw32 \
  --extra-arg=-isystem"$gxx" --extra-arg=-isystem"$gxx/x86_64-w64-mingw32" \
  --extra-arg=-isystem"$gxx/backward" \
  --checks='-*,bugprone-*,clang-analyzer-*,performance-*,-bugprone-easily-swappable-parameters,-performance-no-int-to-ptr' \
  --warnings-as-errors='*' "${sources[@]}" >"$out" 2>&1 || status=$?
grep -v 'warnings generated' "$out" || true
rm -f "$out"
if [ $status -ne 0 ]; then
  echo "analyze: clang-tidy findings above" >&2
  exit 1
fi
echo "analyze: no findings"
