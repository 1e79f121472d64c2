#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGS...].
# The Wine prefix lives in the build tree, so runs depend on no home
# directory; Wine's debug chatter and its offers to install Mono and Gecko
# are switched off.
WINEPREFIX=$1
shift
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
exec wine "$@"
