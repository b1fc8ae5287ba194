#!/usr/bin/env bash
# One real print job through the whole Lumvane road, on this machine:
# installs what is missing, builds the agent and its tools, sets up a Wine
# prefix of the demo's own, configures the printer's registry values as an
# installer would, starts lmvnagent.exe, submits a job of several EMF pages
# with lmvnsubmit, lets the sample stage programs (preprocess.exe, progress.exe,
# lmvndisp.exe) and the sample client lmvnclient run, prints a summary, and
# stops the agent with the kill event. Nothing is left running afterwards.
#
# Usage: scripts/demo.sh [options]
#   --mode MODE       transfer mode: commandline (0, default), copydata (1) or
#                     clipboard (2)
#   --pages N         pages of the job (default 3)
#   --build-dir DIR   where to build, or where the built programs are
#                     (default: build-demo beside this script's folder)
#   --work-dir DIR    the demo's Wine prefix, log, jobs and client journal
#                     (default: DIR/demo of the build directory)
#   --no-build        use the programs already in the build directory: no
#                     install step, no build
#   --headless        never show windows, even when a display is available
#   --help            show this text
# Exit code 0 when the job reached the client with its PNG pages; otherwise 1
# with a message that says which step failed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
mode=commandline
pages=3
build=$root/build-demo
work=
no_build=0
headless=0

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }
fail() {
  echo "demo: FAILED: $*" >&2
  exit 1
}

while [ $# -gt 0 ]; do
  case $1 in
    --mode) mode=${2:?--mode needs a value}; shift 2 ;;
    --pages) pages=${2:?--pages needs a value}; shift 2 ;;
    --build-dir) build=${2:?--build-dir needs a value}; shift 2 ;;
    --work-dir) work=${2:?--work-dir needs a value}; shift 2 ;;
    --no-build) no_build=1; shift ;;
    --headless) headless=1; shift ;;
    --help|-h) usage; exit 0 ;;
    *) usage >&2; fail "unknown option $1" ;;
  esac
done
case $mode in
  commandline|0) mode=commandline; transfer_mode=0 ;;
  copydata|1) mode=copydata; transfer_mode=1 ;;
  clipboard|2) mode=clipboard; transfer_mode=2 ;;
  *) fail "unknown transfer mode '$mode' (commandline, copydata or clipboard)" ;;
esac
[[ $pages =~ ^[1-9][0-9]?$ ]] || fail "--pages takes 1 to 99"

started=$(date +%s)
step() { printf 'demo: [%3d s] %s\n' $(($(date +%s) - started)) "$*"; }

# ---- Install and build ------------------------------------------------------
prefix_job=
if [ $no_build -eq 0 ]; then
  step "installing what is missing"
  "$root/scripts/setup.sh" || fail "the install step (scripts/setup.sh)"
  started=$(date +%s)
  # A new Wine prefix takes a while to create: let it grow while we build.
  mkdir -p "${work:-$build/demo}"
  if [ ! -f "${work:-$build/demo}/wineprefix/system.reg" ]; then
    (export WINEPREFIX="${work:-$build/demo}/wineprefix" WINEDEBUG=-all WINEARCH=win64
     setsid wineboot -i </dev/null >/dev/null 2>&1; setsid wineserver -w </dev/null >/dev/null 2>&1) &
    prefix_job=$!
  fi
  step "building into $build"
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DLMVN_BUILD_TESTS=OFF -DLMVN_BUILD_TOOLS=ON >"$build.configure.log" 2>&1 \
    || { cat "$build.configure.log" >&2; fail "configuring the build"; }
  rm -f "$build.configure.log"
  cmake --build "$build" -j2 >/dev/null || fail "building (run: cmake --build $build)"
fi
build=$(cd "$build" && pwd)
for exe in lmvnagent preprocess progress lmvndisp lmvnsubmit lmvnclient lmvnnotify; do
  [ -f "$build/$exe.exe" ] || fail "$build/$exe.exe is missing: build first (or drop --no-build)"
done

# ---- A Wine prefix of the demo's own ------------------------------------------
[ -n "$prefix_job" ] && { wait "$prefix_job" || true; }
work=${work:-$build/demo}
mkdir -p "$work"
work=$(cd "$work" && pwd)
export WINEPREFIX=$work/wineprefix
# Whatever an earlier, interrupted run left in this prefix goes first.
[ -d "$WINEPREFIX" ] && { WINEDEBUG=-all wineserver -k >/dev/null 2>&1 || true; }
if [ $headless -eq 0 ] && [ -n "${DISPLAY:-}" ]; then
  export LMVN_USE_DISPLAY=1
fi
step "preparing the Wine prefix $WINEPREFIX"
# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh" "$work" >/dev/null
if [ -n "${LMVN_USE_DISPLAY:-}" ] && grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg"; then
  # The prefix ran headless before; windows are to show on the display now.
  lmvn_detached wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f || true
  lmvn_detached wineserver -k || true
  lmvn_detached wineserver -w || true
  (setsid wineserver -p </dev/null >/dev/null 2>&1 &)
fi

agent_pid=
notify_pid=
cleanup() {
  # The agent is stopped by the kill event before we get here; this ends
  # whatever is still alive in the demo's prefix, the Wine server included.
  [ -n "$notify_pid" ] && kill "$notify_pid" 2>/dev/null || true
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

# A program under Wine with every stream detached from ours, bounded in time.
run_wine() {
  local limit=$1 out=$2
  shift 2
  timeout --kill-after=5 "$limit" wine "$@" </dev/null >"$out" 2>&1
}
# A window once, so that Wine's desktop process is up before the agent starts.
run_wine 30 /dev/null "$build/lmvnnotify.exe" --seconds 0 || true

winpath() { winepath -w "$1" 2>/dev/null | tr -d '\r'; }
unixpath() { winepath -u "$1" 2>/dev/null | tr -d '\r'; }

rm -rf "$work/jobs" "$work/log" "$work/client"
mkdir -p "$work/jobs" "$work/log" "$work/client"
log=$work/log/vp_log.txt
journal=$work/client/journal.txt

# ---- The printer's registry values, as an installer writes them ----------------
step "configuring HKLM and HKCU\\Software\\Lumvane (transfer mode $transfer_mode, $mode)"
client="\"$(winpath "$build/lmvnclient.exe")\" --quit-after 1 --lifetime 90000 --journal \"$(winpath "$journal")\""
[ ${#client} -le 259 ] || fail "the client command line is longer than 259 characters: use a shorter --work-dir"
regset() { # KEY NAME TYPE DATA
  run_wine 30 /dev/null reg add "$1" /v "$2" /t "$3" /d "$4" /f || fail "reg add $1 /v $2"
}
run_wine 30 /dev/null reg delete 'HKLM\Software\Lumvane' /f || true
run_wine 30 /dev/null reg delete 'HKCU\Software\Lumvane' /f || true
regset 'HKLM\Software\Lumvane' Log REG_DWORD 1
regset 'HKLM\Software\Lumvane' LogDestDir REG_SZ "$(winpath "$work/log")"
regset 'HKLM\Software\Lumvane' 'Message Mode' REG_DWORD 1
regset 'HKCU\Software\Lumvane' 'Client Application' REG_SZ "$client"
regset 'HKCU\Software\Lumvane' 'Transfer Mode' REG_DWORD "$transfer_mode"
regset 'HKCU\Software\Lumvane' 'Target Window Class' REG_SZ LumvaneClient
regset 'HKCU\Software\Lumvane' 'Clipboard Format' REG_SZ 'Lumvane Job'
regset 'HKCU\Software\Lumvane' 'Message ID' REG_DWORD 32768

logtext() { [ -f "$log" ] && iconv -f UTF-16LE -t UTF-8 "$log" | sed '1s/^\xEF\xBB\xBF//' | tr -d '\r'; }

# ---- The agent and a monitor of its broadcasts ------------------------------------
# In message mode the agent reports failures as broadcasts, never as message
# boxes that would wait for a person; lmvnnotify prints them.
(exec setsid wine "$build/lmvnnotify.exe" --seconds 110 </dev/null >"$work/notify.txt" 2>&1) &
notify_pid=$!
wait_for 20 grep -q 'listening for' "$work/notify.txt" || fail "lmvnnotify did not start"

step "starting $(winpath "$build/lmvnagent.exe")"
(cd "$build" && exec setsid wine "$build/lmvnagent.exe" </dev/null >/dev/null 2>&1) &
agent_pid=$!
wait_for 20 sh -c "iconv -f UTF-16LE -t UTF-8 '$log' 2>/dev/null | grep -q 'Waiting for events.'" \
  || { logtext >&2 || true; cat "$work/notify.txt" >&2; fail "the agent did not start (no 'Waiting for events.' in $log)"; }

# ---- One job ------------------------------------------------------------------
step "submitting a job of $pages pages with lmvnsubmit"
t0=$(date +%s%N)
run_wine 60 "$work/submit.txt" "$build/lmvnsubmit.exe" --pages "$pages" --job-id 4711 \
  --dir "$(winpath "$work/jobs")" || { cat "$work/submit.txt" >&2; fail "lmvnsubmit"; }
job=$(tr -d '\r' <"$work/submit.txt" | grep -v '^$' | tail -n 1)

delivered() { [ -f "$journal" ] && tr -d '\r' <"$journal" | grep -q '^end$'; }
if ! wait_for 60 delivered; then
  echo "--- agent log" >&2; logtext >&2 || true
  echo "--- broadcasts" >&2; cat "$work/notify.txt" >&2
  fail "the job did not reach the client within 60 s"
fi
t1=$(date +%s%N)

# ---- What arrived -----------------------------------------------------------------
record=$(tr -d '\r' <"$journal")
grep -q '^jobid=4711$' <<<"$record" || fail "the client got another job: $record"
grep -q "^pages=$pages\$" <<<"$record" || fail "the client did not see $pages pages: $record"
le32() { od -An -t d4 -j "$2" -N 4 "$1" | tr -d ' '; }
be32() { od -An -t u1 -j "$2" -N 4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}'; }
png_lines=()
while IFS= read -r emf_win; do
  emf=$(unixpath "$emf_win")
  png=${emf%.*}.png
  [ -f "$png" ] || fail "no PNG image beside $emf_win"
  [ "$(od -An -t x1 -N 8 "$png" | tr -d ' ')" = 89504e470d0a1a0a ] || fail "$png is no PNG file"
  [ "$(tail -c 8 "$png" | od -An -t x1 | tr -d ' ')" = 49454e44ae426082 ] || fail "$png is cut short"
  # The expected size: the page's frame (0.01 mm, in the EMF header) at 96 dpi.
  want_w=$(( ($(le32 "$emf" 32) - $(le32 "$emf" 24)) * 96 / 2540 ))
  want_h=$(( ($(le32 "$emf" 36) - $(le32 "$emf" 28)) * 96 / 2540 ))
  got_w=$(be32 "$png" 16)
  got_h=$(be32 "$png" 20)
  # Rounded to the nearest pixel, so one more than the truncated value is fine.
  { [ $((got_w - want_w)) -ge 0 ] && [ $((got_w - want_w)) -le 1 ] &&
    [ $((got_h - want_h)) -ge 0 ] && [ $((got_h - want_h)) -le 1 ]; } ||
    fail "$png is $got_w x $got_h, expected about $want_w x $want_h"
  png_lines+=("$(printf '%-44s %4d x %-4d  %6d bytes' "$(winpath "$png")" "$got_w" "$got_h" "$(stat -c %s "$png")")")
done < <(grep '^emf[0-9]*=' <<<"$record" | sed 's/^emf[0-9]*=//')
[ ${#png_lines[@]} -eq "$pages" ] || fail "the client listed ${#png_lines[@]} pages, not $pages"

# ---- Stop the agent by the kill event -----------------------------------------------
step "stopping the agent with lmvnsubmit --kill"
run_wine 30 /dev/null "$build/lmvnsubmit.exe" --kill || fail "lmvnsubmit --kill"
wait_for 20 sh -c "! kill -0 $agent_pid 2>/dev/null" || fail "the agent did not end on the kill event"
agent_pid=
logtext | tail -n 1 | grep -q 'Agent exits\.$' || fail "the log does not end with 'Agent exits.'"
if grep -q '  code ' "$work/notify.txt"; then
  cat "$work/notify.txt" >&2
  fail "the agent reported a problem"
fi

# ---- Summary ------------------------------------------------------------------------
ms=$(( (t1 - t0) / 1000000 ))
echo
echo "Lumvane demo: job 4711 of $pages pages delivered in transfer mode $transfer_mode ($mode)"
printf '  submission to delivery:  %d.%03d s\n' $((ms / 1000)) $((ms % 1000))
echo "  job description file:    $job"
echo "  pages converted by lmvndisp.exe:"
printf '    %s\n' "${png_lines[@]}"
echo "  client journal:          $(winpath "$journal")"
echo "  agent log ($(winpath "$log")):"
logtext | sed 's/^/    /'
echo "  broadcasts seen by lmvnnotify: none"
echo
echo "demo: OK in $(( $(date +%s) - started )) s; the agent has stopped and nothing is left running"
