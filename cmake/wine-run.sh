#!/bin/sh
# Runs a Windows program under Wine with a prefix of its own inside the build
# tree, so that runs depend on no home directory, and without Wine's debug
# chatter or its offers to install Mono and Gecko.
: "${EDCLEAN_WINEPREFIX:=${TMPDIR:-/tmp}/edclean-wineprefix-$(id -u)}"
WINEPREFIX=$EDCLEAN_WINEPREFIX
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
exec wine "$@"
