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
# wixl takes the files' names relative to the folder it runs in.
(cd "$stage" && wixl -a x64 -D Version="$version" -D BinDir=. -D CaDll=lmvnsetup.dll \
  -o "$msi" "$root/packaging/lumvane.wxs") 2>"$tmp/wixl.log" || { cat "$tmp/wixl.log" >&2; fail "wixl failed"; }

sql() { msibuild "$msi" -q "$1" || fail "msibuild: $1"; }

# The settings' properties pass from the client to the installation service
# also when a user who is not an administrator installs with elevation.
sql "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;CLIENTAPPLICATION;TRANSFERMODE;TARGETWINDOWCLASS;TARGETWINDOWTITLE;CLIPBOARDFORMAT;MESSAGEID;LOG;LOGDESTDIR;MESSAGEMODE' WHERE Property = 'SecureCustomProperties'"

# Each setting's component is installed only when its value is to be written.
for setting in CLIENTAPPLICATION:ClientApplication TRANSFERMODE:TransferMode \
  TARGETWINDOWCLASS:TargetWindowClass TARGETWINDOWTITLE:TargetWindowTitle \
  CLIPBOARDFORMAT:ClipboardFormat MESSAGEID:MessageId LOG:Log LOGDESTDIR:LogDestDir \
  MESSAGEMODE:MessageMode; do
  sql "UPDATE Component SET Condition = 'KEEP_${setting%%:*}' WHERE Component = 'Set${setting#*:}'"
done

# Writing a setting into Software\Lumvane\Settings removes the value of the
# same name from Software\Lumvane, where it no longer counts (a value written
# there by hand is moved: CheckSettings took it over). The RemoveRegistry
# table, which wixl does not make, acts when its component is installed.
sql "CREATE TABLE \`RemoveRegistry\` (\`RemoveRegistry\` CHAR(72) NOT NULL, \`Root\` SHORT NOT NULL, \`Key\` CHAR(255) NOT NULL LOCALIZABLE, \`Name\` CHAR(255) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`RemoveRegistry\`)"
msiinfo export "$msi" Registry | tail -n +4 | tr -d '\r' |
  while IFS=$'\t' read -r _ reg_root reg_key reg_name _ component; do
    [ "$reg_key" = 'Software\Lumvane\Settings' ] || continue
    sql "INSERT INTO \`RemoveRegistry\` (\`RemoveRegistry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('Main$component', $reg_root, 'Software\Lumvane', '$reg_name', '$component')"
  done
[ "$(msiinfo export "$msi" RemoveRegistry | tail -n +4 | wc -l)" = 9 ] ||
  fail "the package does not remove the nine settings from Software\Lumvane"

# The order of the execute sequence (wixl places "After" actions at the end):
#   AppSearch 50, CheckSettings 51 (then FindRelatedProducts and the rest);
#   InstallInitialize 1500, StopAgents 1501, RemoveExistingProducts 1502
#   (the old version goes before the new one's files, settings found first);
#   WriteRegistryValues 5000, SetKeyRights 5001, RemoveSettings 5002.
sql "UPDATE InstallExecuteSequence SET Sequence = 51 WHERE Action = 'CheckSettings'"
sql "UPDATE InstallExecuteSequence SET Sequence = 1501 WHERE Action = 'StopAgents'"
sql "UPDATE InstallExecuteSequence SET Sequence = 1502 WHERE Action = 'RemoveExistingProducts'"
sql "UPDATE InstallExecuteSequence SET Sequence = 5001 WHERE Action = 'SetKeyRights'"
sql "UPDATE InstallExecuteSequence SET Sequence = 5002 WHERE Action = 'RemoveSettings'"

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
