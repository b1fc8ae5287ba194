#!/bin/sh
# witherrors.sh WINEDEBUG ERROR-FILE PROGRAM [ARGS...]: starts a Windows
# program of this Wine prefix with WINEDEBUG set for it alone and its error
# output (where Wine's debug channels print) appended to ERROR-FILE, given as
# a Windows path. A Windows test program starts this script (Wine runs Linux
# programs too): a Windows program's own standard error does not receive
# what Wine prints for a program it starts. The script returns at once.
debug=$1
errors=$(winepath -u "$2" 2>/dev/null)
shift 2
[ -n "$errors" ] || exit 1
WINEDEBUG=$debug setsid wine "$@" </dev/null >/dev/null 2>>"$errors" &
