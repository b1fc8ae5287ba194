#!/usr/bin/env bash
# The installer package end to end, in a fresh Wine prefix of its own, along
# the paths an administrator or a deployment tool takes:
#   1. refusals on a fresh machine (a setting out of range, logged literally
#      with its brackets; ADDLOCAL without the agent): nothing is changed;
#   2. backups that a user made first, under the names the installation
#      hands its actions (a copy of the package plants them): the
#      installation fails, and neither the planted client reaches Settings
#      nor a planted program is started; the actions' data is hidden from
#      the log (MsiHiddenProperties, which only Windows honours);
#      an install that fails after SetKeyRights (a copy of the package with a
#      failing action) over a key an administrator made, with a value written
#      by hand, a pending job and a running agent: everything is as before,
#      and the agent, which was not the package's, is not started again from
#      where it ran;
#   3. the install with properties (a hex MESSAGEID, KEEP_* on the command
#      line, which count for nothing): files with versions, Run value,
#      settings, the hand-written value moved, the job left, both keys'
#      rights; the stopped agent is started again, the installed one;
#   4. that agent delivers a job from lmvnsubmit to lmvnclient;
#   5. maintenance runs (REMOVE=Tools, ADDLOCAL=Tools, the same package again)
#      leave the agent running; REMOVE=Agent is refused;
#   6. an upgrade, with settings changed by hand (a 10-digit number, a
#      REG_EXPAND_SZ, a quoted client with arguments), a value planted by a
#      user in the main key and a pending job of a user named "Log": every
#      setting comes back byte for byte, the planted value is never seen as a
#      setting at any moment (watched with the agent's own code), the job
#      stays, and the agent runs again;
#   7. a downgrade is refused; a repair (with KEEP_* on the command line)
#      restores a missing and a damaged program, keeps every setting and
#      starts the agent again; a package of the same version, built again,
#      replaces the installed one;
#   8. an uninstall while an agent cannot be stopped (another program holds
#      the kill event's name as a mutex): 3010, the program is moved away and
#      removed at the restart (wineboot -r); the main key, which keeps the planted value
#      and the jobs, is closed to users and keeps an empty Settings; an
#      install afterwards takes nothing from it (the reproduction of the
#      planted client); with the main key emptied, the uninstall leaves
#      nothing behind.
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
step() { echo "package test: [${SECONDS}s] $*"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
old_msi=$build/lumvane-$version-x64.msi
[ -f "$old_msi" ] || fail "$old_msi is missing (the build makes it when wixl is installed)"
[ -f "$build/tests/failaction.dll" ] || fail "$build/tests/failaction.dll is missing"
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
# A copy of the package with one more action of tests/failaction.dll.
with_action() { # NAME ACTION TYPE ENTRY SEQUENCE
  local copy=$work/$1/lumvane-$version-x64.msi
  mkdir -p "$work/$1"
  cp "$old_msi" "$copy"
  (
    cd "$work/$1"
    msiinfo export "$copy" Binary >Binary.idt
    cp "$build/tests/failaction.dll" Binary/Binary.FailAction
    printf 'FailAction\tBinary.FailAction\r\n' >>Binary.idt
    msibuild "$copy" -i Binary.idt
    msibuild "$copy" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('$2', $3, 'FailAction', '$4')"
    msibuild "$copy" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('$2', $5)"
  ) >/dev/null || fail "cannot make the copy $1 of the package"
  echo "$copy"
}
# A copy whose script fails right after the Run value is written (5001), well
# after SetKeyRights (1505): a deferred DLL action returning 1603.
fail_msi=$(with_action failing FailAfterRights 3073 Fail 5001)
# A copy that plants the backups right after CheckSettings has named them
# (1300): an immediate DLL action.
plant_msi=$(with_action planting PlantBackups 1 Plant 1301)
# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh" "$work" >/dev/null
cleanup() { wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT

winpath() { winepath -w "$1" 2>/dev/null | tr -d '\r'; }
# A Windows command line, exactly as an administrator types it, run by cmd
# from a batch file (wine would re-quote arguments passed from here). Prints
# the exit code; Wine hands on only its low 8 bits (1603 shows as 67, 3010 as
# 194).
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
# The package's own lines of an installer log.
ourlog() { msilog "$1" | sed -n 's/^.*Lumvane: //p'; }
# Whether standard input has a line holding TEXT (fixed, not a pattern).
# Reads all of it: with grep -q the writer of a long input (a log) can die of
# SIGPIPE after the match, and pipefail then turns the match into a miss.
contains() { grep -F -- "$1" >/dev/null; }
wine_out() { timeout --kill-after=5 30 setsid wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# The values of a key itself (not of its subkeys) as NAME=TYPE:DATA lines,
# sorted, in the .reg form: exact types and bytes (dword:, hex(2): for
# REG_EXPAND_SZ, "..." for REG_SZ).
values() {
  # An export that fails for a key that is there (seen now and then under
  # load) is tried again rather than read as a key without values.
  local attempt status
  for attempt in 1 2 3; do
    rm -f "$work/key.reg"
    status=0
    timeout 30 setsid wine reg export "$1" "$(winpath "$work/key.reg")" /y </dev/null >/dev/null 2>&1 || status=$?
    [ "$status" = 0 ] && break
    key_exists "$1" || return 0
    echo "package test: reg export of $1 failed with $status (try $attempt of 3)" >&2
    [ "$attempt" = 3 ] && return 0
    sleep 1
  done
  iconv -f UTF-16LE -t UTF-8 "$work/key.reg" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' |
    awk '/^\[/ { sections++ } sections == 1' | awk '/\\$/ { printf "%s", substr($0, 1, length($0) - 1); next } { print }' |
    sed 's/^ *//' | sed -n 's/^"\(.*\)"=\(.*\)$/\1=\2/p' | sort
}
key_exists() { timeout 30 setsid wine reg query "$1" </dev/null >/dev/null 2>&1; }

install_dir="$WINEPREFIX/drive_c/Program Files/Lumvane"
programs=(lmvnagent.exe preprocess.exe progress.exe lmvndisp.exe lmvnclient.exe lmvnnotify.exe lmvnsubmit.exe lmvncheck.exe)
tools=(lmvnclient.exe lmvnnotify.exe lmvnsubmit.exe lmvncheck.exe)
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
event_source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\Lumvane'
# A REG_EXPAND_SZ as reg export writes it: hex(2) of its UTF-16 bytes with the null.
expandable() {
  printf 'hex(2):%s' "$(printf '%s\0' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,//; s/,$//')"
}
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
main_key='HKLM\Software\Lumvane'
settings_key='HKLM\Software\Lumvane\Settings'
settings_dacl='D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)'
# Users' 0x2001B (KEY_READ | KEY_SET_VALUE) reads back as its letters:
# query value, set value, enumerate subkeys, notify, read control.
main_dacl='D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;;CCDCSWRPRC;;;BU)(A;CIIO;KR;;;BU)'
# The main key once the package is gone and it stays: users read.
closed_dacl=$settings_dacl
# What Wine reports for a key nobody gave rights to (reg add by an administrator).
hand_dacl='D:(A;CIIO;GR;;;BU)(A;;KA;;;BA)'
dacl() { wine_out "$build/tests/keyrights.exe" "$1"; }
# The DACLs of both keys, in SDDL.
dacls() { echo "main $(dacl 'Software\Lumvane') settings $(dacl 'Software\Lumvane\Settings')"; }
products() {
  timeout 30 setsid wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null |
  tr -d '\r' | grep -c 'DisplayName *REG_SZ *Lumvane$' || true; }
backup_key='HKLM\Software\Lumvane Setup'
# Files the package left in C:\windows\temp, and its backups (none is left
# but by a failure that the test makes).
backups_left() {
  key_exists "$backup_key" && echo "$backup_key"
  find "$WINEPREFIX/drive_c/windows/temp" -maxdepth 1 -name 'Lumvane-*' | wc -l
}
user=$(wine_out cmd /c echo %USERNAME%)

# The Linux pids of the processes of this prefix (other prefixes on the
# machine may run agents too) whose command line matches PATTERN, by default
# every agent.
agent_pids() { # [PATTERN]
  local pid
  for pid in $(pgrep -f "${1:-lmvnagent\.exe}"); do
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
  return 0
}
none_running() { [ -z "$(agent_pids "$1")" ]; }
some_running() { [ -n "$(agent_pids "$1")" ]; }
installed_agent='Program Files.Lumvane.lmvnagent\.exe'
agent_running() { [ -n "$(agent_pids "${1:-$installed_agent}")" ]; }
waits_for_events() { logtext | grep -c 'Waiting for events\.' || true; }
# Waits until an agent of PATTERN runs and the log has more than BEFORE
# "Waiting for events." lines (the agent started by the package logs there).
wait_for_agent() { # BEFORE WHAT
  wait_for 30 sh -c "[ \$(iconv -f UTF-16LE -t UTF-8 '$agent_log' 2>/dev/null | grep -c 'Waiting for events\.') -gt $1 ]" ||
    fail "$2: no agent reached 'Waiting for events.'"
  agent_running || fail "$2: the installed agent does not run"
}

# Starts the agent as a logon does: the Run value's command, as it stands.
start_agent_by_run_value() {
  local command
  command=$(values "$run_key" | sed -n 's/^Lumvane=//p')
  [ -n "$command" ] || fail "no Run value named Lumvane"
  # The .reg form escapes quotes and backslashes.
  command=$(sed 's/^"//; s/"$//; s/\\"/"/g; s/\\\\/\\/g' <<<"$command")
  [ "$(run_cmd 30 "start \"\" $command")" = 0 ] || fail "the Run value's command did not start"
}

# ---- 1. Refusals on a fresh machine ---------------------------------------------------
step "a setting out of range is refused and logged literally; ADDLOCAL without the agent is refused"
rc=$(msi refused "/i $(winpath "$old_msi") TRANSFERMODE=[ProductName]x LOG=1")
[ "$rc" = 67 ] || fail "TRANSFERMODE=[ProductName]x: exit code $rc, expected 1603 (67 under Wine)"
ourlog refused | contains 'TRANSFERMODE="[ProductName]x" refused' ||
  fail "the refusal is not logged literally:\n$(ourlog refused)"
rc=$(msi tools-only "/i $(winpath "$old_msi") ADDLOCAL=Tools")
[ "$rc" = 67 ] || fail "ADDLOCAL=Tools on a fresh machine: exit code $rc, expected 67"
ourlog tools-only | contains 'the Agent feature cannot be left out' || fail "no refusal of ADDLOCAL=Tools in the log"
[ ! -e "$install_dir" ] || fail "a refused install left $install_dir"
key_exists "$main_key" && fail "a refused install wrote $main_key"

# ---- 2. Planted backups; a failed install leaves everything as it was --------------------
step "backups a user made first are not used; the actions' data is hidden from the log"
# Wine lets anyone create them: the copy of the package plants them, with
# rights that let users write them, once CheckSettings has named them.
rc=$(msi planted "/i $(winpath "$plant_msi")")
[ "$rc" = 67 ] || fail "the install over planted backups: exit code $rc, expected 67"
# (Wine makes the planting process's user their owner, as Windows would.)
for what in 'the backup of the settings' 'the list of stopped agents'; do
  ourlog planted | contains "$what is not used, as this installation did not write it: it is owned by S-1-5-21-" ||
    fail "$what that was planted is not refused in the log:\n$(ourlog planted)"
done
ourlog planted | contains 'planted' && fail "a planted program is named in the log:\n$(ourlog planted)"
key_exists "$main_key" && fail "the planted backup reached $main_key: $(values "$main_key") $(values "$settings_key")"
[ ! -e "$install_dir" ] || fail "the install over planted backups left $install_dir"
# The actions' data names the backups: Windows Installer logs each property
# unless MsiHiddenProperties names it (Wine logs them all, so the test reads
# the package). AdminUser means an administrator, not any elevated user.
package_property() { msiinfo export "$old_msi" Property | tr -d '\r' | sed -n "s/^$1\t//p"; }
hidden=";$(package_property MsiHiddenProperties);"
for action in RestartStoppedAgents StopAgents RollbackSettings SetKeyRights RemoveSettings \
  NoteFilesInUse StartAgents DiscardSettingsBackup RemoveFilesAtRestart; do
  [[ $hidden == *";$action;"* ]] || fail "the data of $action is not hidden from the log ($hidden)"
done
[ "$(package_property MSIUSEREALADMINDETECTION)" = 1 ] || fail "the package does not set MSIUSEREALADMINDETECTION"
wine_out reg delete "$backup_key" /f >/dev/null

step "an install that fails after SetKeyRights leaves the key, its values and rights, and the agent as they were"
wine_out reg add "$main_key" /v 'Clipboard Format' /d 'Written By Hand' /f >/dev/null
wine_out reg add "$main_key" /v 'Transfer Mode' /t REG_DWORD /d 2 /f >/dev/null
wine_out reg add "$main_key" /v alice /d 'C:\spool\alice-job.ini' /f >/dev/null
hand_values=$(values "$main_key")
[ "$(dacl 'Software\Lumvane')" = "$hand_dacl" ] || fail "Wine's DACL of a key made by reg add: $(dacl 'Software\Lumvane')"
# An agent run by hand from the build (no log: nothing sets Log).
(exec setsid wine "$build/lmvnagent.exe" </dev/null >/dev/null 2>&1) &
hand_agent="$(basename "$build").lmvnagent\.exe"
wait_for 20 some_running "$hand_agent" || fail "the hand agent did not start"
properties="CLIENTAPPLICATION=\"C:\\Program Files\\Lumvane\\lmvnclient.exe\" TRANSFERMODE=1 TARGETWINDOWCLASS=LumvaneInstallTest LOG=1 LOGDESTDIR=$(winpath "$log_dir") MESSAGEMODE=1 MESSAGEID=0x8000"
rc=$(msi failed "/i $(winpath "$fail_msi") $properties")
[ "$rc" = 67 ] || fail "the failing install: exit code $rc, expected 67"
ourlog failed | contains 'is moved from HKLM\Software\Lumvane into Settings' || fail "SetKeyRights did not run before the failure"
ourlog failed | contains 'has its rights back' || fail "no rollback of the rights:\n$(ourlog failed)"
[ "$(values "$main_key")" = "$hand_values" ] || fail "the failed install changed $main_key:\n$(values "$main_key")"
[ "$(dacl 'Software\Lumvane')" = "$hand_dacl" ] || fail "the failed install left the DACL $(dacl 'Software\Lumvane')"
key_exists "$settings_key" && fail "the failed install left $settings_key"
[ ! -e "$install_dir" ] || fail "the failed install left $install_dir"
values "$run_key" | grep -q '^Lumvane=' && fail "the failed install left the Run value"
[ "$(products)" = 0 ] || fail "the failed install left the product registered"
# The rollback starts only the installed agent, which a failed first install
# leaves none of: the agent run by hand from elsewhere stays stopped.
ourlog failed | contains 'C:\Program Files\Lumvane\lmvnagent.exe is gone: no agent is started in session' ||
  fail "no word of the agent that is not started again:\n$(ourlog failed)"
wait_for 20 none_running "$hand_agent" || fail "the hand agent still runs after the failed install"
[ "$(backups_left)" = 0 ] || fail "backups left: $(backups_left)"
# It runs again for the install that replaces it.
(exec setsid wine "$build/lmvnagent.exe" </dev/null >/dev/null 2>&1) &
wait_for 20 some_running "$hand_agent" || fail "the hand agent did not start again"

# ---- 3. Install with properties --------------------------------------------------------
step "install $version with properties (and KEEP_* that count for nothing), over the value written by hand"
t0=$(date +%s%N)
rc=$(msi install "/i $(winpath "$old_msi") $properties KEEP_TRANSFERMODE=#9 KEEP_LOG=#7 KEEP_CLIENTAPPLICATION=C:\\Users\\Public\\x.exe")
t1=$(date +%s%N)
[ "$rc" = 0 ] || { ourlog install >&2; fail "install: exit code $rc"; }
same_files "install"
[ "$(values "$run_key" | grep '^Lumvane=')" = 'Lumvane="\"C:\\Program Files\\Lumvane\\lmvnagent.exe\""' ] ||
  fail "Run value: $(values "$run_key" | grep '^Lumvane=' || echo none)"
expected=$(printf '%s\n' 'Client Application="C:\\Program Files\\Lumvane\\lmvnclient.exe"' \
  'Clipboard Format="Written By Hand"' 'Log=dword:00000001' "LogDestDir=\"$(winpath "$log_dir" | sed 's/\\/\\\\/g')\"" \
  'Message ID=dword:00008000' 'Message Mode=dword:00000001' 'Target Window Class="LumvaneInstallTest"' \
  'Transfer Mode=dword:00000001' | sort)
[ "$(values "$settings_key")" = "$expected" ] ||
  fail "the values written (each given property and the moved one, nothing else):\n$(values "$settings_key")"
# The hand-written value that a property overrides stays where it is, unused.
[ "$(values "$main_key" | tr '\n' ' ')" = 'Transfer Mode=dword:00000002 alice="C:\\spool\\alice-job.ini" ' ] ||
  fail "under $main_key:\n$(values "$main_key")"
rights=$(dacls)
[ "$rights" = "main $main_dacl settings $settings_dacl" ] || fail "DACLs: $rights"
[ "$(backups_left)" = 0 ] || fail "backup files left in C:\\windows\\temp"
[ "$(wine_out "$install_dir/lmvnsubmit.exe" --version)" = "lmvnsubmit $version" ] || fail "lmvnsubmit --version"
for p in "${programs[@]}"; do
  for field in FileVersion ProductVersion; do
    got=$(x86_64-w64-mingw32-strings -el "$install_dir/$p" | grep -A1 -x "$field" | sed -n 2p)
    [ "$got" = "$version.0" ] || fail "$p: $field is '$got', not $version.0"
  done
done
[ "$(msiinfo export "$old_msi" File | tail -n +4 | awk -F'\t' '$3 ~ /\.(exe|dll)$/ && $5 != "'"$version.0"'"' | wc -l)" = 0 ] ||
  fail "the File table does not carry $version.0 for every program"
# The event source of the agent's reports, its message table the installed
# agent; the Group Policy templates beside the programs, as built.
# (A long hex value comes out of reg export over several lines: blanks removed.)
[ "$(values "$event_source_key" | tr -d ' ')" = "$(printf '%s\n' "EventMessageFile=$(expandable 'C:\Program Files\Lumvane\lmvnagent.exe')" 'TypesSupported=dword:00000007')" ] ||
  fail "the event source is not registered as it should be:\n$(values "$event_source_key")"
for template in policy/lumvane.admx policy/en-US/lumvane.adml; do
  cmp -s "$build/$template" "$install_dir/$template" || fail "$template is not installed as built"
done
[ "$(msiinfo export "$old_msi" Feature | awk -F'\t' '$1 == "Agent" { print $8 }' | tr -d '\r')" = 16 ] ||
  fail "the Agent feature is not marked as one that cannot be left out"
# The hand agent was stopped, and the package started its own in that session.
wait_for_agent 0 "after the install"
[ -z "$(agent_pids "$hand_agent")" ] || fail "the hand agent still runs after the install"
ourlog install | contains 'the agent is started again in session' || fail "no agent start in the install log"

# ---- 4. A job through the installed agent ---------------------------------------------
step "the agent the package started delivers a job"
journal=$work/journal.txt
(exec setsid wine "$install_dir/lmvnclient.exe" --class LumvaneInstallTest --journal "$(winpath "$journal")" \
  --lifetime 60000 --quit-after 1 </dev/null >/dev/null 2>&1) &
wait_for 20 grep -qs '^start' "$journal" || fail "lmvnclient did not start"
timeout 60 setsid wine "$install_dir/lmvnsubmit.exe" --pages 1 --job-id 4711 --dir "$(winpath "$work")" \
  </dev/null >"$work/submit.txt" 2>&1 || fail "lmvnsubmit: $(cat "$work/submit.txt")"
wait_for 60 sh -c "tr -d '\r' <'$journal' | grep -q '^jobid=4711$'" ||
  { logtext >&2; fail "the job did not reach lmvnclient"; }

# ---- 5. Maintenance runs ---------------------------------------------------------------
step "REMOVE=Tools, ADDLOCAL=Tools and the same package again leave the agent running; REMOVE=Agent is refused"
pids=$(agent_pids)
rc=$(msi remove-tools "/i $(winpath "$old_msi") REMOVE=Tools")
[ "$rc" = 0 ] || fail "REMOVE=Tools: exit code $rc"
for p in "${tools[@]}"; do [ ! -e "$install_dir/$p" ] || fail "REMOVE=Tools left $p"; done
rc=$(msi add-tools "/i $(winpath "$old_msi") ADDLOCAL=Tools")
[ "$rc" = 0 ] || fail "ADDLOCAL=Tools: exit code $rc"
rc=$(msi maintenance "/i $(winpath "$old_msi")")
[ "$rc" = 0 ] || fail "the same package again: exit code $rc"
same_files "maintenance"
for run in remove-tools add-tools maintenance; do
  ourlog $run | contains 'no agent file is installed, replaced or removed: agents keep running.' ||
    fail "$run: the agents were not left alone:\n$(ourlog $run)"
done
[ "$(agent_pids)" = "$pids" ] || fail "a maintenance run stopped the agent ($pids, now $(agent_pids))"
rc=$(msi remove-agent "/i $(winpath "$old_msi") REMOVE=Agent")
[ "$rc" = 67 ] || fail "REMOVE=Agent: exit code $rc, expected 67"
ourlog remove-agent | contains 'the Agent feature cannot be left out' || fail "no refusal of REMOVE=Agent in the log"
same_files "REMOVE=Agent"
[ "$(agent_pids)" = "$pids" ] || fail "the refused REMOVE=Agent stopped the agent"
[ "$(products)" = 1 ] || fail "REMOVE=Agent: $(products) products registered"
[ "$(values "$settings_key")" = "$expected" ] || fail "the maintenance runs changed the settings"

# ---- 6. Upgrade ----------------------------------------------------------------------------
step "upgrade to $new_version over a running agent: settings byte for byte, nothing a user wrote taken, the job kept"
# The producer's service keeps the kill event open, so that the event lives
# on after the agents have ended: whether it is left set shows afterwards.
(exec setsid wine "$build/tests/eventholder.exe" 240 'Global\Lumvane_killevent' </dev/null >/dev/null 2>&1) &
wine_out reg add "$settings_key" /v 'Target Window Class' /d ChangedByHand /f >/dev/null
wine_out reg add "$settings_key" /v 'Target Window Title' /d 'Added By Hand' /f >/dev/null
wine_out reg add "$settings_key" /v 'Message ID' /t REG_DWORD /d 2147483647 /f >/dev/null
wine_out reg add "$settings_key" /v LogDestDir /t REG_EXPAND_SZ /d "$(winpath "$log_dir")" /f >/dev/null
[ "$(run_cmd 30 "reg add $settings_key /v \"Client Application\" /d \"\\\"C:\\Vendor\\client.exe\\\" --class VendorClient\" /f")" = 0 ] ||
  fail "cannot write the quoted client"
# What users may write: the main key. A planted client and one more value,
# and the pending job of a user named "Log".
wine_out reg add "$main_key" /v 'Client Application' /d 'C:\Users\Public\planted.exe' /f >/dev/null
wine_out reg add "$main_key" /v 'Message ID' /t REG_DWORD /d 1234 /f >/dev/null
wine_out reg add "$main_key" /v Log /d 'C:\spool\log-job.ini' /f >/dev/null
before=$(values "$settings_key")
main_before=$(values "$main_key")
grep -qF 'Client Application="\"C:\\Vendor\\client.exe\" --class VendorClient"' <<<"$before" &&
  grep -qF 'Message ID=dword:7fffffff' <<<"$before" && grep -qF 'LogDestDir=hex(2):' <<<"$before" ||
  fail "the values to keep are not stored as meant:\n$before"
printf 'not a program' >"$install_dir/preprocess.exe"
pids=$(agent_pids)
watch=$work/watch.txt
(exec setsid wine "$build/tests/settingswatch.exe" 120 "$(winpath "$watch")" </dev/null >/dev/null 2>&1) &
wait_for 10 test -s "$watch" || fail "the watcher did not start"
waits=$(waits_for_events)
t2=$(date +%s%N)
rc=$(msi upgrade "/i $(winpath "$new_msi")")
t3=$(date +%s%N)
: >"$watch.stop"
[ "$rc" = 0 ] || fail "upgrade: exit code $rc"
[ "$(values "$settings_key")" = "$before" ] ||
  fail "the upgrade changed the settings:\nbefore:\n$before\nafter:\n$(values "$settings_key")"
[ "$(values "$main_key")" = "$main_before" ] || fail "the upgrade changed $main_key:\n$(values "$main_key")"
same_files "upgrade"
[ "$(products)" = 1 ] || fail "$(products) products named Lumvane are registered after the upgrade"
wine_out reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | contains "$new_version" ||
  fail "version $new_version is not registered"
[ "$(dacls)" = "$rights" ] || fail "the upgrade changed the DACLs: $(dacls)"
ourlog upgrade | contains '"Client Application" is written back into Settings as it was before the older version was removed.' ||
  fail "the settings were not written back after the old version's removal:\n$(ourlog upgrade)"
wait_for 10 none_running 'settingswatch\.exe' || fail "the watcher did not end"
tr -d '\r' <"$watch" | grep -q 'planted' && fail "a user's value was readable as a setting during the upgrade:\n$(cat "$watch")"
tr -d '\r' <"$watch" | grep -q '^main' && fail "the main key was readable as the settings during the upgrade:\n$(cat "$watch")"
seen_during_upgrade=$(tr -d '\r' <"$watch" | tr '\n' '|')
# The agent the upgrade stopped runs again, started by the package (the
# kill event was reset).
wait_for_agent "$waits" "after the upgrade"
[ "$(agent_pids)" != "$pids" ] || fail "the agent was not stopped by the upgrade"

# ---- 7. Downgrade, repair, the same version -------------------------------------------
step "the older $version is refused"
rc=$(msi downgrade "/i $(winpath "$old_msi")")
[ "$rc" = 67 ] || fail "downgrade: exit code $rc, expected 1603 (67 under Wine)"
ourlog downgrade | contains 'a newer version of Lumvane is already installed' || fail "no refusal message in the log"
agent_running || fail "the refused downgrade stopped the agent"
[ "$(values "$settings_key")" = "$before" ] || fail "the refused downgrade changed the settings"

step "a repair (with KEEP_*) restores a missing and a damaged program, keeps the settings and starts the agent again"
rm -f "$install_dir/progress.exe"
printf 'not a program' >"$install_dir/lmvndisp.exe"
pids=$(agent_pids)
waits=$(waits_for_events)
rc=$(msi repair "/i $(winpath "$new_msi") REINSTALL=ALL REINSTALLMODE=omus KEEP_TRANSFERMODE=#9 KEEP_LOG=#7")
[ "$rc" = 0 ] || fail "repair: exit code $rc"
same_files "repair"
[ "$(values "$settings_key")" = "$before" ] || fail "the repair changed the settings:\n$(values "$settings_key")"
[ "$(values "$main_key")" = "$main_before" ] || fail "the repair changed $main_key"
wait_for_agent "$waits" "after the repair"
[ "$(agent_pids)" != "$pids" ] || fail "the repair did not stop and start the agent"

step "a rebuilt package of $new_version replaces the installed one and keeps the settings"
same_msi=$work/same/lumvane-$new_version-x64.msi
"$root/scripts/package.sh" --build-dir "$build" --version "$new_version" --output "$same_msi" >/dev/null
rc=$(msi same "/i $(winpath "$same_msi")")
[ "$rc" = 0 ] || fail "same version: exit code $rc"
[ "$(products)" = 1 ] || fail "$(products) products named Lumvane are registered after a same-version install"
[ "$(values "$settings_key")" = "$before" ] || fail "the same-version install changed the settings"
same_files "same version"

# ---- 8. Uninstall ----------------------------------------------------------------------
step "uninstall while the agent cannot be stopped: 3010, removal at the restart; the main key is closed"
# Another program holds the kill event's name as a mutex, so that the agent
# started next has no kill event: every agent and the event must go first.
holders='eventholder\.exe'
kill $(agent_pids "$holders") 2>/dev/null || true
wine_out "$install_dir/lmvnsubmit.exe" --kill >/dev/null || true
wait_for 20 none_running "lmvnagent\.exe|$holders" || fail "the agents did not stop: $(agent_pids "lmvnagent\.exe|$holders")"
(exec setsid wine "$build/tests/eventholder.exe" 120 mutex 'Global\Lumvane_killevent' </dev/null >/dev/null 2>&1) &
kill_event_taken() {
  local found
  found=$(wine_out "$install_dir/lmvncheck.exe" --json || true) # exit code 1: warnings
  contains '"id":"kill-event-blocked"' <<<"$found"
}
wait_for 20 kill_event_taken || fail "the mutex holder did not take the kill event's name"
waits=$(waits_for_events)
start_agent_by_run_value
wait_for_agent "$waits" "the agent started by the Run value"
t4=$(date +%s%N)
rc=$(msi uninstall "/x $(winpath "$same_msi")")
t5=$(date +%s%N)
[ "$rc" = 194 ] || fail "uninstall with an agent in use: exit code $rc, expected 3010 (194 under Wine)"
ourlog uninstall | contains 'running agent(s) stopped, 1 still running' || fail "the agent was not found still running"
ourlog uninstall | contains 'lmvnagent.exe is removed at the next restart (moved to ' ||
  fail "the agent's file was not scheduled for removal:\n$(ourlog uninstall)"
pending=$(wine_out reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations)
grep -qi 'temp\\Lumvane-[0-9a-f]*-lmvnagent\.exe' <<<"$pending" || fail "not pending removal at the restart: $pending"
[ ! -e "$install_dir" ] || fail "the uninstall left $(ls -A "$install_dir" | tr '\n' ' ')in $install_dir"
values "$run_key" | grep -q '^Lumvane=' && fail "the uninstall left the Run value"
[ "$(products)" = 0 ] || fail "the product is still registered"
# The main key keeps what users and the producer wrote, closed to users, and
# an empty Settings beside it.
[ "$(values "$main_key")" = "$main_before" ] || fail "the uninstall changed $main_key:\n$(values "$main_key")"
[ "$(dacls)" = "main $closed_dacl settings $settings_dacl" ] || fail "after the uninstall: $(dacls)"
[ -z "$(values "$settings_key")" ] || fail "the uninstall left settings:\n$(values "$settings_key")"
kill $(agent_pids "lmvnagent|$holders") 2>/dev/null || true
wait_for 20 none_running "lmvnagent|$holders" || fail "the agent in use did not end"
# What a restart does with it.
timeout --kill-after=5 60 setsid wine wineboot -r </dev/null >/dev/null 2>&1 || fail "wineboot -r"
[ "$(backups_left)" = 0 ] || fail "the restart did not remove $(ls "$WINEPREFIX/drive_c/windows/temp")"

step "an install after it takes nothing from the main key; emptied, the uninstall leaves nothing"
rc=$(msi reinstall "/i $(winpath "$old_msi")")
[ "$rc" = 0 ] || fail "reinstall: exit code $rc"
[ -z "$(values "$settings_key")" ] || fail "the reinstall took values into Settings:\n$(values "$settings_key")"
ourlog reinstall | contains '"Client Application" under HKLM\Software\Lumvane is left there and not used' ||
  fail "the planted value's fate is not logged:\n$(ourlog reinstall)"
[ "$(dacls)" = "$rights" ] || fail "DACLs after the reinstall: $(dacls)"
for name in 'Client Application' 'Message ID' 'Transfer Mode' Log alice; do
  wine_out reg delete "$main_key" /v "$name" /f >/dev/null
done
rc=$(msi final "/x $(winpath "$old_msi")")
[ "$rc" = 0 ] || fail "the last uninstall: exit code $rc"
[ ! -e "$install_dir" ] || fail "the last uninstall left $install_dir"
key_exists "$main_key" && fail "the last uninstall left $main_key: $(values "$main_key") $(values "$settings_key")"
key_exists "$event_source_key" && fail "the last uninstall left the event source: $(values "$event_source_key")"
[ "$(products)" = 0 ] || fail "the product is still registered"
[ "$(backups_left)" = 0 ] || fail "files in C:\\windows\\temp: $(ls "$WINEPREFIX/drive_c/windows/temp")"

ms() { echo $((($2 - $1) / 1000000)); }
echo "package test: OK; package $(stat -c %s "$old_msi") bytes; install $(ms "$t0" "$t1") ms," \
  "upgrade $(ms "$t2" "$t3") ms, uninstall $(ms "$t4" "$t5") ms (under Wine, with msiexec's start);" \
  "seen during the upgrade: $seen_during_upgrade"
