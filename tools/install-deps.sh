#!/bin/sh
# Installs what the two builds and their tests need on a Debian 12
# machine: the mingw-w64 cross compilers for x86 and x64 (the posix
# flavour), cmake, and Wine: its 64-bit half, which runs the x64 suite on
# every machine, and its 32-bit half, which runs the x86 suite where the
# kernel runs 32-bit code (installed either way: it costs nothing where it
# cannot run); and for the Windows Installer packages (make msi) wixl,
# msitools and osslsigncode, with openssl for the signing test's
# throwaway certificate.  Quick when everything is already there.  Needs
# root for apt.
set -eu

need=""
command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-i686"
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
[ -x /usr/lib/wine/wine64 ] && command -v wine >/dev/null 2>&1 || need="$need wine wine64"
dpkg -s wine32:i386 >/dev/null 2>&1 || need="$need wine32:i386"
[ -d /usr/src/googletest/googletest ] || need="$need googletest"
command -v chmcmd >/dev/null 2>&1 || need="$need fp-utils"
command -v python3 >/dev/null 2>&1 || need="$need python3"
command -v wixl >/dev/null 2>&1 || need="$need wixl"
command -v msibuild >/dev/null 2>&1 && command -v msiinfo >/dev/null 2>&1 || need="$need msitools"
command -v osslsigncode >/dev/null 2>&1 || need="$need osslsigncode"
command -v openssl >/dev/null 2>&1 || need="$need openssl"

if [ -z "$need" ]; then
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing packages:$need (run as root to install them)" >&2
    exit 1
fi

case " $(dpkg --print-foreign-architectures) " in
    *" i386 "*) ;;
    *) dpkg --add-architecture i386 ;;
esac
echo "install-deps: installing$need"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need
