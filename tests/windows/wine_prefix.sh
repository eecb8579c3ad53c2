#!/bin/sh
# The Wine side of the Windows tests. CMake's emulator settings (WINEPREFIX and friends) are in the
# environment; the arguments are the loader and "start" or "stop".
#
# start: creates the prefix (the first time takes several seconds) and sets Wine's "null" display
#   driver, so that windows such as the start-up failure's message box exist without a screen.
#   Then it starts a Wine server that outlives each test program by a minute, and Wine's system
#   processes with it. Otherwise every test program would start them afresh, at a cost of seconds,
#   and they would hold the program's output pipe open, so CTest would wait for them as well.
# stop: ends that server and the system processes with it.
set -eu
loader=$1
server=$(dirname "$loader")/wineserver
[ -x "$server" ] || server=wineserver
log=${WINEPREFIX:-.}.log

quietly() { "$@" </dev/null >>"$log" 2>&1 || { cat "$log"; exit 1; }; }
restart_server() {
    "$server" -k 2>/dev/null || true
    "$server" -w
}

restart_server
case $2 in
start)
    : >"$log"
    quietly "$loader" wineboot --init
    quietly "$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    restart_server # the system processes keep the display driver they loaded
    quietly "$server" -p60
    quietly "$loader" wineboot
    ;;
stop)
    ;;
esac
