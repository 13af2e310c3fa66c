#!/bin/sh
# Makes the template Wine prefix that every test copies: 32-bit, the null
# graphics driver (windows and message boxes exist without an X server),
# no .NET or HTML engine offers, no crash dialog.
#   wine-template.sh DIR
set -eu
dir=$1
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
export WINEPREFIX="$dir" WINEARCH=win32 WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
wineserver -w
echo "wine-template: prefix ready in $dir"
