#!/bin/sh
# start DIR ARCH [STANDIN]: makes a fresh private Wine prefix in DIR of the
#            given architecture (win32, or win64 where the 32-bit client runs
#            as a WOW64 process, or win64-only for the 64-bit check build,
#            where every program is 64-bit), keeps one wineserver up for the
#            whole test run (process starts are then cheap), and installs the
#            stand-in key storage provider where Windows keeps its own: the
#            system directory of programs of the client's width.
# stop DIR:  ends that wineserver.
#
# The guard is a 32-bit program. A kernel without 32-bit emulation (booted
# with ia32_emulation=off, or built without it) cannot run any 32-bit code,
# in either prefix: then `start` writes the reason to DIR.unavailable and
# exits 77, and every test that needs the prefix reports itself skipped
# (tests/harness/needs-wine.sh, wine-run.sh) instead of failing for a reason
# that is not the guard's.
set -eu
action=$1
prefix=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
  start)
    arch=${3:?"usage: $0 start DIR win32|win64|win64-only [STANDIN]"}
    standin=${4:-}
    wine=wine
    system32="$prefix/drive_c/windows/system32"
    case "$arch" in
      win32) ;;
      win64) system32="$prefix/drive_c/windows/syswow64" ;;
      # Wine's 64-bit loader, called directly: the `wine` front end tries
      # the 32-bit one first.
      win64-only) arch=win64; wine=/usr/lib/wine/wine64; export WINELOADER=$wine ;;
      *) echo "$0: unknown architecture $arch" >&2; exit 2 ;;
    esac
    export WINEARCH="$arch"
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix" "$prefix.unavailable"
    # The loader of 32-bit programs is itself a 32-bit Linux program; the
    # shell answers 126 when the kernel refuses to execute it.
    status=0
    [ "$wine" = wine ] && [ -e /lib/ld-linux.so.2 ] && { /lib/ld-linux.so.2 --version >/dev/null 2>&1 || status=$?; }
    if [ "$status" = 126 ]; then
      echo "this kernel cannot execute 32-bit x86 programs (32-bit emulation is off; Linux turns it on" \
           "with the boot option ia32_emulation=on): no 32-bit Windows program can run under Wine here" |
        tee "$prefix.unavailable"
      exit 77
    fi
    mkdir -p "$prefix"
    # The server and wineboot's services outlive this script: none of them
    # may keep CTest's output pipe open.
    wineserver -p </dev/null >/dev/null 2>&1
    "$wine" wineboot -i </dev/null >/dev/null 2>&1
    if [ -n "$standin" ]; then
      cp "$standin" "$system32/ncrypt.dll"
    fi
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *) echo "usage: $0 start DIR ARCH [STANDIN] | stop DIR" >&2; exit 2 ;;
esac
