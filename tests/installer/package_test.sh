#!/usr/bin/env bash
# The installer package end to end, in a fresh Wine prefix of its own:
#   1. a setting out of range is refused and nothing is installed; then an
#      install with properties writes the files, the Run value, exactly the
#      given values into the Settings key (with one written by hand under
#      the main key before: moved there) and both keys' DACLs;
#   2. the agent, started by the Run value's command as a logon does, delivers
#      a job from lmvnsubmit to lmvnclient (both as installed);
#   3. with a value changed and one added by hand in Settings, a higher
#      version replaces the files, keeps every value, moves nothing from the
#      main key (which users may write) into Settings, stops the running agent
#      first and leaves the kill event reset, so that the next agent runs;
#   4. the older version is refused; a repair restores a file and keeps the
#      settings; a package of the same version, built again, replaces the
#      installed one;
#   5. the uninstall stops the agent and leaves nothing behind.
# Usage: tests/installer/package_test.sh --build-dir DIR --work-dir DIR
# Exit code 0 when every check holds; otherwise 1, naming the failed check.
set -euo pipefail
# Byte-wise text handling: the installer log mixes encodings.
export LC_ALL=C

root=$(cd "$(dirname "$0")/../.." && pwd)
build=
work=
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=${2:?}; shift 2 ;;
    --work-dir) work=${2:?}; shift 2 ;;
    *) echo "usage: $0 --build-dir DIR --work-dir DIR" >&2; exit 1 ;;
  esac
done
build=$(cd "${build:?--build-dir is required}" && pwd)
[ -n "$work" ] || { echo "--work-dir is required" >&2; exit 1; }

fail() {
  printf 'package test: FAILED: %b\n' "$*" >&2
  exit 1
}
step() { echo "package test: $*"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
old_msi=$build/lumvane-$version-x64.msi
[ -f "$old_msi" ] || fail "$old_msi is missing (the build makes it when wixl is installed)"
IFS=. read -r major minor patch <<<"$version"
new_version=$major.$minor.$((patch + 1))

# ---- A fresh prefix -----------------------------------------------------------------
if [ -d "$work/wineprefix" ]; then
  WINEPREFIX=$work/wineprefix WINEDEBUG=-all setsid wineserver -k </dev/null >/dev/null 2>&1 || true
fi
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
new_msi=$work/lumvane-$new_version-x64.msi
"$root/scripts/package.sh" --build-dir "$build" --version "$new_version" --output "$new_msi" >/dev/null
# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh" "$work" >/dev/null
cleanup() { wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT

winpath() { winepath -w "$1" 2>/dev/null | tr -d '\r'; }
# A Windows command line, exactly as an administrator types it, run by cmd
# from a batch file (wine would re-quote arguments passed from here). Prints
# the exit code; Wine hands on only its low 8 bits (1603 shows as 67).
run_cmd() { # SECONDS COMMAND-LINE
  printf '@%s\r\n@exit /b %%ERRORLEVEL%%\r\n' "$2" >"$work/run.bat"
  local rc=0
  timeout --kill-after=5 "$1" setsid wine cmd /c "$(winpath "$work/run.bat")" </dev/null >"$work/run.out" 2>&1 || rc=$?
  echo $rc
}
msi() { # LOG-NAME MSIEXEC-ARGUMENTS: msiexec with a verbose log
  run_cmd 180 "msiexec $2 /qn /l*v $(winpath "$work/$1.log")"
}
msilog() { tr -d '\0' <"$work/$1.log"; }
# Whether standard input has a line matching PATTERN. Reads all of it: with
# grep -q the writer of a long input (a log) can die of SIGPIPE after the
# match, and pipefail then turns the match into a miss.
contains() { grep -- "$1" >/dev/null; }
wine_out() { timeout --kill-after=5 30 setsid wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# The values of a key itself (not of its subkeys) as NAME=TYPE:DATA lines, sorted.
values() {
  rm -f "$work/key.reg"
  timeout 30 setsid wine reg export "$1" "$(winpath "$work/key.reg")" /y </dev/null >/dev/null 2>&1 || return 0
  iconv -f UTF-16LE -t UTF-8 "$work/key.reg" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' |
    awk '/^\[/ { sections++ } sections == 1' |
    sed -n 's/^"\(.*\)"=\(.*\)$/\1=\2/p' | sort
}
key_exists() { timeout 30 setsid wine reg query "$1" </dev/null >/dev/null 2>&1; }

install_dir="$WINEPREFIX/drive_c/Program Files/Lumvane"
programs=(lmvnagent.exe preprocess.exe progress.exe lmvndisp.exe lmvnclient.exe lmvnnotify.exe lmvnsubmit.exe lmvncheck.exe)
# The package holds the built programs without debugging information.
mkdir -p "$work/stripped"
for p in "${programs[@]}"; do
  SOURCE_DATE_EPOCH=$(stat -c %Y "$build/$p") x86_64-w64-mingw32-strip -o "$work/stripped/$p" "$build/$p"
done
same_files() {
  for p in "${programs[@]}"; do
    cmp -s "$work/stripped/$p" "$install_dir/$p" || fail "$1: $p is not the built one"
  done
}
log_dir=$work/log
mkdir -p "$log_dir"
agent_log=$log_dir/vp_log.txt
logtext() { [ -f "$agent_log" ] && iconv -f UTF-16LE -t UTF-8 "$agent_log" | tr -d '\r'; }
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
main_key='HKLM\Software\Lumvane'
settings_key='HKLM\Software\Lumvane\Settings'
settings_dacl='D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)'
# Users' 0x2001B (KEY_READ | KEY_SET_VALUE) reads back as its letters:
# query value, set value, enumerate subkeys, notify, read control.
main_dacl='D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;;CCDCSWRPRC;;;BU)(A;CIIO;KR;;;BU)'
# The DACLs of both keys, in SDDL.
dacls() { echo "main $(wine_out "$build/tests/keyrights.exe" 'Software\Lumvane') settings $(wine_out "$build/tests/keyrights.exe" 'Software\Lumvane\Settings')"; }
products() {
  timeout 30 setsid wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null |
  tr -d '\r' | grep -c 'DisplayName *REG_SZ *Lumvane$' || true; }

# Starts the agent as a logon does: the Run value's command, as it stands.
start_agent_by_run_value() {
  local command
  command=$(values "$run_key" | sed -n 's/^Lumvane=//p')
  [ -n "$command" ] || fail "no Run value named Lumvane"
  # The .reg form escapes quotes and backslashes.
  command=$(sed 's/^"//; s/"$//; s/\\"/"/g; s/\\\\/\\/g' <<<"$command")
  local before
  before=$(logtext | grep -c 'Waiting for events\.' || true)
  [ "$(run_cmd 30 "start \"\" $command")" = 0 ] || fail "the Run value's command did not start"
  wait_for 30 sh -c "[ \$(iconv -f UTF-16LE -t UTF-8 '$agent_log' 2>/dev/null | grep -c 'Waiting for events\.') -gt $before ]" ||
    fail "the agent started by the Run value did not reach 'Waiting for events.'"
}
# An installed agent of this prefix (other prefixes on the machine may run agents too).
agent_running() {
  local pid
  for pid in $(pgrep -f 'Lumvane.lmvnagent\.exe'); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}

# ---- 1. Install with properties --------------------------------------------------------
step "an out-of-range setting is refused"
rc=$(msi refused "/i $(winpath "$old_msi") TRANSFERMODE=7 LOG=1")
[ "$rc" = 67 ] || fail "TRANSFERMODE=7: exit code $rc, expected 1603 (67 under Wine)"
msilog refused | contains 'TRANSFERMODE="7" refused' || fail "no refusal of TRANSFERMODE=7 in the installer log"
[ ! -e "$install_dir" ] || fail "a refused install left $install_dir"
key_exists "$main_key" && fail "a refused install wrote $main_key"

step "install $version with properties, over a value written by hand under $main_key"
wine_out reg add "$main_key" /v 'Clipboard Format' /d 'Written By Hand' /f >/dev/null
wine_out reg add "$main_key" /v 'Transfer Mode' /t REG_DWORD /d 2 /f >/dev/null
t0=$(date +%s%N)
rc=$(msi install "/i $(winpath "$old_msi") CLIENTAPPLICATION=\"C:\\Program Files\\Lumvane\\lmvnclient.exe\" TRANSFERMODE=1 TARGETWINDOWCLASS=LumvaneInstallTest LOG=1 LOGDESTDIR=$(winpath "$log_dir") MESSAGEMODE=1")
t1=$(date +%s%N)
[ "$rc" = 0 ] || { msilog install | grep 'Lumvane:' >&2; fail "install: exit code $rc"; }
same_files "install"
[ "$(values "$run_key" | grep '^Lumvane=')" = 'Lumvane="\"C:\\Program Files\\Lumvane\\lmvnagent.exe\""' ] ||
  fail "Run value: $(values "$run_key" | grep '^Lumvane=' || echo none)"
expected=$(printf '%s\n' 'Client Application="C:\\Program Files\\Lumvane\\lmvnclient.exe"' \
  'Clipboard Format="Written By Hand"' 'Log=dword:00000001' "LogDestDir=\"$(winpath "$log_dir" | sed 's/\\/\\\\/g')\"" \
  'Message Mode=dword:00000001' 'Target Window Class="LumvaneInstallTest"' 'Transfer Mode=dword:00000001' | sort)
[ "$(values "$settings_key")" = "$expected" ] ||
  fail "the values written (each given property and the moved one, nothing else):\n$(values "$settings_key")"
[ -z "$(values "$main_key")" ] || fail "values left under $main_key:\n$(values "$main_key")"
rights=$(dacls)
[ "$rights" = "main $main_dacl settings $settings_dacl" ] || fail "DACLs: $rights"
[ "$(wine_out "$install_dir/lmvnsubmit.exe" --version)" = "lmvnsubmit $version" ] || fail "lmvnsubmit --version"
for p in "${programs[@]}"; do
  for field in FileVersion ProductVersion; do
    got=$(x86_64-w64-mingw32-strings -el "$install_dir/$p" | grep -A1 -x "$field" | sed -n 2p)
    [ "$got" = "$version.0" ] || fail "$p: $field is '$got', not $version.0"
  done
done

# ---- 2. A job through the installed agent ---------------------------------------------
step "the agent, started by the Run value, delivers a job"
start_agent_by_run_value
journal=$work/journal.txt
(exec setsid wine "$install_dir/lmvnclient.exe" --class LumvaneInstallTest --journal "$(winpath "$journal")" \
  --lifetime 60000 --quit-after 1 </dev/null >/dev/null 2>&1) &
wait_for 20 grep -qs '^start' "$journal" || fail "lmvnclient did not start"
timeout 60 setsid wine "$install_dir/lmvnsubmit.exe" --pages 1 --job-id 4711 --dir "$(winpath "$work")" \
  </dev/null >"$work/submit.txt" 2>&1 || fail "lmvnsubmit: $(cat "$work/submit.txt")"
wait_for 60 sh -c "tr -d '\r' <'$journal' | grep -q '^jobid=4711$'" ||
  { logtext >&2; fail "the job did not reach lmvnclient"; }

# ---- 3. Upgrade ----------------------------------------------------------------------------
step "upgrade to $new_version over a running agent, with a value changed by hand"
agent_running || fail "the agent is not running before the upgrade"
# The producer's service keeps the kill event open, so that the event lives
# on after the agents have ended: whether it is left set shows afterwards.
(exec setsid wine "$build/tests/eventholder.exe" 240 'Global\Lumvane_killevent' </dev/null >/dev/null 2>&1) &
wine_out reg add "$settings_key" /v 'Target Window Class' /d ChangedByHand /f >/dev/null
wine_out reg add "$settings_key" /v 'Target Window Title' /d 'Added By Hand' /f >/dev/null
# Written where users may write: not taken into Settings.
wine_out reg add "$main_key" /v 'Message ID' /t REG_DWORD /d 1234 /f >/dev/null
before=$(values "$settings_key")
printf 'not a program' >"$install_dir/preprocess.exe"
t2=$(date +%s%N)
rc=$(msi upgrade "/i $(winpath "$new_msi")")
t3=$(date +%s%N)
[ "$rc" = 0 ] || fail "upgrade: exit code $rc"
[ "$(values "$settings_key")" = "$before" ] ||
  fail "the upgrade changed the settings:\nbefore:\n$before\nafter:\n$(values "$settings_key")"
same_files "upgrade"
agent_running && fail "the agent still runs after the upgrade"
logtext | tail -n 1 | grep -q 'Agent exits\.$' || fail "the agent did not stop by the kill event"
[ "$(products)" = 1 ] || fail "$(products) products named Lumvane are registered after the upgrade"
wine_out reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | contains "DisplayVersion *REG_SZ *$new_version" ||
  fail "version $new_version is not registered"
[ "$(dacls)" = "$rights" ] || fail "the upgrade changed the DACLs: $(dacls)"
[ "$(values "$main_key")" = 'Message ID=dword:000004d2' ] ||
  fail "the value under $main_key was not left as it was:\n$(values "$main_key")"
wine_out reg delete "$main_key" /v 'Message ID' /f >/dev/null
# The kill event was reset: an agent started now keeps running.
start_agent_by_run_value
sleep 1
agent_running || fail "an agent started after the upgrade left at once (kill event still set)"

# ---- 4. Downgrade ----------------------------------------------------------------------
step "the older $version is refused"
rc=$(msi downgrade "/i $(winpath "$old_msi")")
[ "$rc" = 67 ] || fail "downgrade: exit code $rc, expected 1603 (67 under Wine)"
msilog downgrade | contains 'a newer version of Lumvane is already installed' || fail "no refusal message in the log"
agent_running || fail "the refused downgrade stopped the agent"
[ "$(values "$settings_key")" = "$before" ] || fail "the refused downgrade changed the settings"

step "a repair restores a file and keeps the settings"
rm -f "$install_dir/progress.exe"
wine_out reg add "$settings_key" /v 'Message ID' /t REG_DWORD /d 40000 /f >/dev/null
before=$(values "$settings_key")
rc=$(msi repair "/i $(winpath "$new_msi") REINSTALL=ALL REINSTALLMODE=omus")
[ "$rc" = 0 ] || fail "repair: exit code $rc"
same_files "repair"
[ "$(values "$settings_key")" = "$before" ] || fail "the repair changed the settings:\n$(values "$settings_key")"

step "a rebuilt package of $new_version replaces the installed one and keeps the settings"
same_msi=$work/same/lumvane-$new_version-x64.msi
"$root/scripts/package.sh" --build-dir "$build" --version "$new_version" --output "$same_msi" >/dev/null
rc=$(msi same "/i $(winpath "$same_msi")")
[ "$rc" = 0 ] || fail "same version: exit code $rc"
[ "$(products)" = 1 ] || fail "$(products) products named Lumvane are registered after a same-version install"
[ "$(values "$settings_key")" = "$before" ] || fail "the same-version install changed the settings"
same_files "same version"

# ---- 5. Uninstall ----------------------------------------------------------------------
step "uninstall"
start_agent_by_run_value
t4=$(date +%s%N)
rc=$(msi uninstall "/x $(winpath "$same_msi")")
t5=$(date +%s%N)
[ "$rc" = 0 ] || fail "uninstall: exit code $rc"
agent_running && fail "the agent still runs after the uninstall"
[ ! -e "$install_dir" ] || fail "the uninstall left $(ls -A "$install_dir" | tr '\n' ' ')in $install_dir"
values "$run_key" | grep -q '^Lumvane=' && fail "the uninstall left the Run value"
key_exists "$main_key" && fail "the uninstall left $main_key: $(values "$main_key") $(values "$settings_key")"
[ "$(products)" = 0 ] || fail "the product is still registered"

ms() { echo $((($2 - $1) / 1000000)); }
echo "package test: OK; package $(stat -c %s "$old_msi") bytes; install $(ms "$t0" "$t1") ms," \
  "upgrade $(ms "$t2" "$t3") ms, uninstall $(ms "$t4" "$t5") ms (under Wine, with msiexec's start)"
