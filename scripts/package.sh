#!/usr/bin/env bash
# Builds the installer package lumvane-<version>-x64.msi from the programs of a
# build directory, with wixl and msibuild (Debian packages wixl and msitools,
# installed by scripts/setup.sh). The build runs this itself (target
# package_msi); run it by hand to package again or with another version.
#
# Usage: scripts/package.sh [options]
#   --build-dir DIR   the build with the programs and lmvnsetup.dll (default: build)
#   --version X.Y.Z   the package's ProductVersion (default: the project's
#                     version, from the build's CMakeCache.txt)
#   --output FILE     where to write the package
#                     (default: DIR/lumvane-<version>-x64.msi)
#   --help            show this text
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
version=
output=

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }
fail() {
  echo "package: $*" >&2
  exit 1
}

while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=${2:?--build-dir needs a value}; shift 2 ;;
    --version) version=${2:?--version needs a value}; shift 2 ;;
    --output) output=${2:?--output needs a value}; shift 2 ;;
    --help|-h) usage; exit 0 ;;
    *) usage >&2; fail "unknown option $1" ;;
  esac
done

build=$(cd "$build" && pwd)
if [ -z "$version" ]; then
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
fi
[[ $version =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,5}$ ]] || fail "the version '$version' is not X.Y.Z"
output=${output:-$build/lumvane-$version-x64.msi}
files=(lmvnagent.exe preprocess.exe progress.exe lmvndisp.exe lmvnclient.exe lmvnnotify.exe
  lmvnsubmit.exe lmvncheck.exe lmvnsetup.dll)
for file in "${files[@]}"; do
  [ -f "$build/$file" ] || fail "$build/$file is missing: build first"
done
if ! command -v wixl >/dev/null || ! command -v msibuild >/dev/null; then
  fail "wixl and msibuild are missing: run scripts/setup.sh"
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
msi=$tmp/lumvane.msi
# The package carries the programs without their debugging information
# (a fifth of the size); the build keeps it.
stage=$tmp/stage
mkdir -p "$stage"
for file in "${files[@]}"; do
  # The file's own time as the header's time stamp: stripping again gives the same bytes.
  SOURCE_DATE_EPOCH=$(stat -c %Y "$build/$file") x86_64-w64-mingw32-strip -o "$stage/$file" "$build/$file" ||
    fail "cannot strip $file"
done
# The Group Policy templates, as the build copied them beside the programs.
for file in policy/lumvane.admx policy/en-US/lumvane.adml; do
  [ -f "$build/$file" ] || fail "$build/$file is missing: build first"
  mkdir -p "$stage/$(dirname "$file")"
  cp "$build/$file" "$stage/$file"
done
# wixl takes the files' names relative to the folder it runs in.
(cd "$stage" && wixl -a x64 -D Version="$version" -D BinDir=. -D CaDll=lmvnsetup.dll \
  -o "$msi" "$root/packaging/lumvane.wxs") 2>"$tmp/wixl.log" || { cat "$tmp/wixl.log" >&2; fail "wixl failed"; }

sql() { msibuild "$msi" -q "$1" || fail "msibuild: $1"; }

# Only the upgrade's own properties pass from the client to the installation
# service when a user who is not an administrator installs with elevation;
# the nine settings do not. CheckSettings also refuses them without
# AdminUser, which the package's MSIUSEREALADMINDETECTION=1 (lumvane.wxs)
# makes mean "the user is an administrator": without it, Windows Installer
# sets AdminUser for every elevated installation, a standard user's
# included.
sql "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE Property = 'SecureCustomProperties'"

# The event source's message file is a REG_EXPAND_SZ, as the Event Log
# expects it ("#%" in the Registry table); wixl drops the type.
sql "UPDATE \`Registry\` SET \`Value\` = '#%[INSTALLDIR]lmvnagent.exe' WHERE \`Name\` = 'EventMessageFile'"

# The agent cannot be left out (msidbFeatureAttributesUIDisallowAbsent, which
# wixl drops; CheckSettings refuses ADDLOCAL and REMOVE lists without it).
sql "UPDATE Feature SET Attributes = 16 WHERE Feature = 'Agent'"

# Each program's version, from its own version resource, so that Windows
# Installer applies the rules for versioned files (a repair replaces a
# damaged program). wixl leaves the column empty.
msiinfo export "$msi" File | tail -n +4 | tr -d '\r' |
  while IFS=$'\t' read -r file_key _ file_name _; do
    case ${file_name#*|} in *.exe|*.dll) ;; *) continue ;; esac  # the templates are text
    file_version=$(x86_64-w64-mingw32-strings -el "$stage/${file_name#*|}" | grep -A1 -x FileVersion | sed -n 2p)
    [[ $file_version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$file_name carries no FileVersion"
    sql "UPDATE \`File\` SET \`Version\` = '$file_version', \`Language\` = '1033' WHERE \`File\` = '$file_key'"
  done
[ "$(msiinfo export "$msi" File | tail -n +4 | awk -F'\t' '$5 == "" && $3 ~ /\.(exe|dll)$/' | wc -l)" = 0 ] ||
  fail "a program of the package has no version"

# The custom actions' kinds, which wixl does not write: a DLL (1), run at
# once (CheckSettings) or in the script (1024) as LocalSystem (2048), and
# rollback (256) or commit (512) where it undoes or completes a deferred
# action.
for action in CheckDowngrade CheckSettings; do
  sql "UPDATE CustomAction SET Type = 1 WHERE Action = '$action'"
done
for action in RestartStoppedAgents RollbackSettings; do
  sql "UPDATE CustomAction SET Type = 3329 WHERE Action = '$action'"
done
for action in StartAgents DiscardSettingsBackup RemoveFilesAtRestart; do
  sql "UPDATE CustomAction SET Type = 3585 WHERE Action = '$action'"
done
for action in StopAgents SetKeyRights RemoveSettings NoteFilesInUse; do
  sql "UPDATE CustomAction SET Type = 3073 WHERE Action = '$action'"
done

# The order of the execute sequence (wixl places "After" actions at the end):
#   FindRelatedProducts 25, CheckDowngrade 26 (before the launch condition
#   that refuses a downgrade too, at 100);
#   CostFinalize 1000, MigrateFeatureStates 1200, CheckSettings 1300 (the
#   features' final states are known);
#   InstallInitialize 1500, RestartStoppedAgents 1501 (rollback), StopAgents
#   1502, RemoveExistingProducts 1503 (the old version goes before the new
#   one's files), RollbackSettings 1504 (rollback), SetKeyRights 1505,
#   RemoveSettings 1506: the settings are complete before any new file is;
#   RemoveFiles 3500, NoteFilesInUse 3501;
#   the commit actions StartAgents, DiscardSettingsBackup and
#   RemoveFilesAtRestart 6590 to 6592, InstallFinalize 6600.
for step in CheckDowngrade:26 CheckSettings:1300 RestartStoppedAgents:1501 StopAgents:1502 \
  RemoveExistingProducts:1503 RollbackSettings:1504 SetKeyRights:1505 RemoveSettings:1506 \
  NoteFilesInUse:3501 StartAgents:6590 DiscardSettingsBackup:6591 RemoveFilesAtRestart:6592; do
  sql "UPDATE InstallExecuteSequence SET Sequence = ${step#*:} WHERE Action = '${step%%:*}'"
done
msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | grep -q '^FindRelatedProducts		25$' &&
  msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | grep -q '^MigrateFeatureStates		1200$' ||
  fail "FindRelatedProducts or MigrateFeatureStates is not where the order above expects"

# Every build has a product code of its own: a package of the same version
# replaces the installed one like a newer one does (maximum version inclusive)
# instead of installing beside it.
upgrade_code=$(msiinfo export "$msi" Property | sed -n 's/^UpgradeCode\t//p' | tr -d '\r')
sql "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
sql "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"

# An older package over a newer one stops at the launch condition that wixl
# makes of MajorUpgrade's DowngradeErrorMessage (NOT WIX_DOWNGRADE_DETECTED).
msiinfo export "$msi" LaunchCondition | grep -q '^NOT WIX_DOWNGRADE_DETECTED' ||
  fail "the package has no downgrade check"

mkdir -p "$(dirname "$output")"
mv "$msi" "$output"
echo "package: $output ($(stat -c %s "$output") bytes, version $version)"
