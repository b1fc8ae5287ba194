#!/bin/sh
# asuser.sh USER PROGRAM [ARGS...]: starts a Windows program as another user
# of this Wine prefix. Wine takes the user name from the Linux side, so a test
# program starts this script (Wine runs Linux programs too) to get, in the same
# session and server, the agent of a second user. The script returns at once.
user=$1
shift
USER=$user LOGNAME=$user setsid wine "$@" </dev/null >/dev/null 2>&1 &
