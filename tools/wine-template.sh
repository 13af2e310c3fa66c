#!/bin/sh
# Makes the template Wine prefix that every test copies: 32-bit for the x86
# build, 64-bit for the x64 build (KIV_WINE_ARCH, see wine-env.sh), the
# null graphics driver (windows and message boxes exist without an X
# server), no .NET or HTML engine offers, no crash dialog.
#   wine-template.sh DIR
set -eu
dir=$1
. "$(dirname "$0")/wine-env.sh"
# Copies a killed test run could not remove (ctest ends a test that runs
# past its time limit without letting it clean up): end their servers.
for stale in "$(dirname "$dir")"/run.*/prefix; do
    [ -d "$stale" ] || continue
    WINEPREFIX="$stale" "$KIV_WINESERVER" -k >/dev/null 2>&1 || true
    rm -rf "$(dirname "$stale")"
done
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
export WINEPREFIX="$dir" WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml=" "$KIV_WINE" wineboot -i
"$KIV_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
"$KIV_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
"$KIV_WINESERVER" -w
echo "wine-template: $WINEARCH prefix ready in $dir"
