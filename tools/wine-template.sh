#!/bin/sh
# Makes the template Wine prefix that every test copies: 32-bit, the null
# graphics driver (windows and message boxes exist without an X server),
# no .NET or HTML engine offers, no crash dialog.
#   wine-template.sh DIR
set -eu
dir=$1
# Copies a killed test run could not remove (ctest ends a test that runs
# past its time limit without letting it clean up): end their servers.
for stale in "$(dirname "$dir")"/run.*/prefix; do
    [ -d "$stale" ] || continue
    WINEPREFIX="$stale" wineserver -k >/dev/null 2>&1
    rm -rf "$(dirname "$stale")"
done
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
export WINEPREFIX="$dir" WINEARCH=win32 WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
wineserver -w
echo "wine-template: prefix ready in $dir"
