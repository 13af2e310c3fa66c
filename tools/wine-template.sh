#!/bin/sh
# Makes the template Wine prefix that every test copies: 32-bit for the x86
# build, 64-bit for the x64 build (KIV_WINE_ARCH, see wine-env.sh), the
# null graphics driver (windows and message boxes exist without an X
# server), no .NET or HTML engine offers, no crash dialog.
#   wine-template.sh DIR
# Each step that fails is tried once more after the prefix's server has
# ended; a step that fails twice is named with its exit code, and so is a
# prefix that lacks a setting at the end.
set -eu
dir=$1
. "$(dirname "$0")/wine-env.sh"

# step NAME COMMAND...: one step of making the prefix.
step() {
    name=$1
    shift
    if "$@"; then
        return 0
    else
        rc=$?
    fi
    echo "wine-template: step '$name' failed with exit code $rc; trying it once more" >&2
    "$KIV_WINESERVER" -w >/dev/null 2>&1 || true
    if "$@"; then
        return 0
    else
        rc=$?
    fi
    echo "wine-template: step '$name' failed again with exit code $rc; no prefix in $dir" >&2
    exit 1
}

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
step "wineboot -i" env WINEDLLOVERRIDES="mscoree,mshtml=" "$KIV_WINE" wineboot -i
# wineboot's server may still be writing the new prefix: the registry
# steps start on a server of their own.
step "wait for wineboot's server" "$KIV_WINESERVER" -w
step "null graphics driver" "$KIV_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
step "no crash dialog" "$KIV_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
step "wait for the registry to be saved" "$KIV_WINESERVER" -w
if ! grep -q '^"Graphics"="null"' "$dir/user.reg" 2>/dev/null; then
    echo "wine-template: the prefix in $dir lacks the null graphics driver setting" >&2
    exit 1
fi
echo "wine-template: $WINEARCH prefix ready in $dir"
