#!/bin/sh
# start DIR: makes a fresh private Wine prefix in DIR and keeps one wineserver
#            up for the whole test run (process starts are then cheap).
# stop DIR:  ends that wineserver.
set -eu
action=$1
prefix=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
  start)
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # The server and wineboot's services outlive this script: none of them
    # may keep CTest's output pipe open.
    wineserver -p </dev/null >/dev/null 2>&1
    wineboot -i </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
