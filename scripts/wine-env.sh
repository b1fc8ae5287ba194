#!/usr/bin/env bash
# Prepares the Wine prefix of a build directory and a persistent Wine server
# for it: source it with the build directory, e.g.
#   source scripts/wine-env.sh build
# Afterwards WINEPREFIX and WINEDEBUG are exported, the prefix uses the null
# graphics driver (windows, messages and the clipboard work without a
# display), and the server and the desktop process are already running, so
# each program starts in milliseconds and no Wine helper process inherits the
# caller's standard streams.
lmvn_build_dir=$(cd "${1:?usage: source scripts/wine-env.sh BUILD_DIR}" && pwd)
export WINEPREFIX="$lmvn_build_dir/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
unset DISPLAY_FOR_WINE

lmvn_detached() { setsid "$@" </dev/null >/dev/null 2>&1; }
# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds;
# fails once SECONDS have passed.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-env: creating the prefix $WINEPREFIX"
  lmvn_detached wineboot -i || true
  lmvn_detached wineserver -w || true
fi
if [ -z "${LMVN_USE_DISPLAY:-}" ] || [ -z "${DISPLAY:-}" ]; then
  if ! grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    lmvn_detached wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f || true
    lmvn_detached wineserver -k || true
    lmvn_detached wineserver -w || true
  fi
fi
# A persistent server, detached from every stream of ours.
(setsid wineserver -p </dev/null >/dev/null 2>&1 &)
# Warm the prefix: a program that creates a window starts the desktop process.
if [ -f "$lmvn_build_dir/tests/warmup.exe" ]; then
  timeout 60 setsid wine "$lmvn_build_dir/tests/warmup.exe" </dev/null >/dev/null 2>&1 || true
else
  timeout 60 setsid wine cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
