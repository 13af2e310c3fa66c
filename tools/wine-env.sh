# Sourced by the Wine scripts: the Wine of one architecture.
#
#   KIV_WINE_ARCH  x86: a 32-bit prefix run by the 32-bit loader
#                  x64: a 64-bit prefix run by the 64-bit loader
#
# Sets WINEARCH and WINELOADER, and KIV_WINE, the loader that runs every
# program, wineboot and reg included.  /usr/bin/wine and the wineboot
# wrapper are not used: Debian's scripts pick the 32-bit loader whenever
# wine32 is installed, also on a machine whose kernel refuses 32-bit code.
# wineserver is the 64-bit server for both kinds of prefix.
case "${KIV_WINE_ARCH:-}" in
    x86) WINEARCH=win32; KIV_WINE=/usr/lib/wine/wine ;;
    x64) WINEARCH=win64; KIV_WINE=/usr/lib/wine/wine64 ;;
    *) echo "KIV_WINE_ARCH must be x86 or x64, not '${KIV_WINE_ARCH:-}'" >&2; exit 2 ;;
esac
WINELOADER=$KIV_WINE
KIV_WINESERVER=/usr/lib/wine/wineserver
export WINEARCH WINELOADER KIV_WINE KIV_WINESERVER

# kiv_end_wine: ends the wineserver of $WINEPREFIX and every process in it,
# and waits until it is gone.
kiv_end_wine() {
    "$KIV_WINESERVER" -k >/dev/null 2>&1
    "$KIV_WINESERVER" -w >/dev/null 2>&1
}

# kiv_add_share PREFIX SERVER FOLDER: \\SERVER\share in the prefix is the
# Unix folder FOLDER (absolute, or relative to PREFIX/dosdevices/unc/SERVER).
kiv_add_share() {
    mkdir -p "$1/dosdevices/unc/$2" && ln -s "$3" "$1/dosdevices/unc/$2/share"
}
