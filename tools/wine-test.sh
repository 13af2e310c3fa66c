#!/bin/sh
# Runs one Windows program under Wine in a fresh copy of the template
# prefix, then ends that prefix's wineserver (and with it every process the
# program left behind) and removes the copy, whether the program passed or
# failed.  The exit code is the program's.
#
#   wine-test.sh PROGRAM.exe [ARGS...]
#
# Environment:
#   KIV_WINE_ARCH      x86 or x64: the Wine that runs it (wine-env.sh)
#   KIV_WINE_TEMPLATE  the template prefix (tools/wine-template.sh)
#   KIV_WINE_SCRATCH   where the copies go (default: the template's folder)
#   KIV_KEEP_PREFIX=1  keep the copy for a post-mortem
#
# Inside the prefix, \\kivtest\share is the folder C:\share, so a test can
# reach the same files by a UNC path and by a local one.
set -u
. "$(dirname "$0")/wine-env.sh"
template=${KIV_WINE_TEMPLATE:?KIV_WINE_TEMPLATE is not set}
scratch=${KIV_WINE_SCRATCH:-$(dirname "$template")}
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/run.XXXXXX") || exit 1
prefix=$work/prefix

cleanup() {
    export WINEPREFIX="$prefix"
    kiv_end_wine
    if [ "${KIV_KEEP_PREFIX:-0}" = 1 ]; then
        echo "wine-test: prefix kept in $prefix" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cp -a "$template" "$prefix" || exit 1
mkdir -p "$prefix/drive_c/share"
kiv_add_share "$prefix" kivtest ../../../drive_c/share

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
"$KIV_WINE" "$@"
rc=$?
exit $rc
