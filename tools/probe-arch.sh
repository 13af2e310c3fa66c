#!/bin/sh
# Tells whether this machine runs the Wine of one architecture.
#
#   probe-arch.sh x86|x64
#
# Exit code 0 when it does; otherwise 1 and one line on stdout saying why.
# The kernel of some machines has its 32-bit emulation switched off: then
# every 32-bit program fails with "Exec format error" (exit code 126), so
# the 32-bit loader cannot even print its version.
arch=${1:-}
case "$arch" in
    x86) loader=/usr/lib/wine/wine; package=wine32:i386 ;;
    x64) loader=/usr/lib/wine/wine64; package=wine64 ;;
    *) echo "usage: probe-arch.sh x86|x64" >&2; exit 2 ;;
esac
if [ ! -x "$loader" ]; then
    echo "$package is not installed"
    exit 1
fi
out=$("$loader" --version 2>&1)
rc=$?
if [ $rc = 0 ]; then
    exit 0
fi
if [ $rc = 126 ] || printf '%s' "$out" | grep -q 'Exec format error'; then
    if [ "$arch" = x86 ]; then
        echo "this machine's kernel refuses 32-bit code (Exec format error)"
    else
        echo "this machine cannot run the 64-bit Wine loader (Exec format error)"
    fi
else
    echo "$loader --version failed with exit code $rc: $(printf '%s' "$out" | head -n 1)"
fi
exit 1
