#!/bin/sh
# The tests' own Wine prefix and its one wineserver for the whole run:
#   wine_prefix.sh start|stop PREFIX
# Wine's helper processes inherit our standard handles and outlive us, so
# they get a log file, never CTest's pipes.
set -eu
action=$1
prefix=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
unset DISPLAY
exec >"$prefix.log" 2>&1 </dev/null
case $action in
start)
	mkdir -p "$prefix"
	wineserver --kill 2>/dev/null || true  # one left by an aborted run
	wineserver --persistent
	# Starts the prefix services now, while our output goes to the log.
	wineboot --init
	# Windows 10, whose behaviour the qualification kit expects (Wine's
	# default is 7).
	wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f
	;;
stop)
	wineserver --kill || true
	;;
esac
