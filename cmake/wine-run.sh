#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGS...].
# Nothing comes from the caller's environment that could change a run:
# - the Wine prefix and the home directory Wine links the profile folders to
#   live in the build tree, beside each other;
# - the locale is C.UTF-8 (always present in Debian's libc): Wine turns host
#   file names into Windows names through it, so without it a name like
#   "café" would not survive the trip;
# - Wine's debug chatter and its offers to install Mono and Gecko are off.
WINEPREFIX=$1
shift
HOME=$WINEPREFIX-home
mkdir -p "$HOME"
LC_ALL=C.UTF-8
LANG=C.UTF-8
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX HOME LC_ALL LANG WINEDEBUG WINEDLLOVERRIDES
exec wine "$@"
