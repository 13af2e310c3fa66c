#!/bin/sh
# make demo: what a user does, in a sandbox Wine prefix.
#
# 1. Installs the printer: the real kivsetup.exe runs from the staged
#    product folder (with stand-ins for the driver files delivered beside
#    it), the dialog helper answers its messages as a user would, and what
#    was installed is read back from the spooler and the registry.
# 2. The installed path agent at work: kivprt serves, a client program
#    (built on the common library's agent client, as the printer driver's
#    components are) copies a file into the UNC folder
#    \\kivdemo\share\pages, tests that folder and the file, and runs a
#    command through the agent; a second copy in stop mode ends it.
# 3. The installed tray utility opens the driver's settings sheet on a
#    double-click of its icon and stores what the user confirmed.
# 4. The product is removed from its Add or Remove Programs entry while the
#    tray and the agent run, and what is left of it is read back; a restart
#    of the sandbox Windows deletes the uninstaller and its folder.
# Each step is printed with its result.
#
# It shows the x86 product (build/dist) where the machine runs 32-bit
# code, otherwise the x64 product (build/dist-x64), and says which.
#
#   demo.sh BUILDDIR
set -u
build=${1:-build}
build=$(cd "$build" && pwd)
tools=$(cd "$(dirname "$0")" && pwd)
if why=$("$tools/probe-arch.sh" x86); then
    KIV_WINE_ARCH=x86
    say_arch="the x86 product (build/dist) in a 32-bit Windows"
else
    KIV_WINE_ARCH=x64
    say_arch="the x64 product (build/dist-x64) in a 64-bit Windows, since $why"
fi
export KIV_WINE_ARCH
. "$tools/wine-env.sh"
bin=$build/$KIV_WINE_ARCH/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/kivdemo.XXXXXX")
prefix=$work/prefix
share=$work/share
export WINEPREFIX="$prefix" WINEDEBUG=-all

finish() {
    kiv_end_wine
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM

say() { printf '%s\n' "$*"; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

say "Showing $say_arch."
say "== Kiv Image Printer: installation, the path agent and the tray at work, and removal =="
say "Preparing a sandbox Windows (Wine) in $prefix ..."
"$tools/wine-template.sh" "$prefix" >/dev/null 2>&1 || { say "Could not make the sandbox."; exit 1; }
mkdir -p "$share/pages"
kiv_add_share "$prefix" kivdemo "$share"
say "The network folder \\\\kivdemo\\share is the temporary folder $share."
mkdir -p "$prefix/drive_c/kivdemo"
printf 'Page 1 of a printed document.\r\n' > "$prefix/drive_c/kivdemo/page1.txt"

installed='C:\Program Files\KivImagePrinter30'

say ""
say "1. Installing the printer with kivsetup.exe:"
"$KIV_WINE" "$(winpath "$bin/setupdemo.exe")"
setup=$?
if [ "$setup" != 0 ]; then
    say "The installation failed; stopping here."
    exit 1
fi

say ""
say "2. Starting the installed path agent ($installed\\kivprt.exe  -start) ..."
"$KIV_WINE" "$installed\\kivprt.exe" "  -start" &
agent=$!

say "3. A client program works through the agent:"
"$KIV_WINE" "$(winpath "$bin/agentdemo.exe")" 'C:\kivdemo\page1.txt' '\\kivdemo\share\pages'
client=$?

say ""
say "   What the network folder holds now, seen from Linux:"
for f in "$share"/pages/*; do
    say "     $(basename "$f"): $(tr -d '\r' < "$f")"
done
say "   The agent's autostart value:"
say "     $("$KIV_WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v kivprt 2>/dev/null | tr -d '\r' | grep kivprt | sed 's/^ *//')"

say ""
say "4. Stopping the agent with a second copy (kivprt.exe  -stop) ..."
"$KIV_WINE" "$installed\\kivprt.exe" "  -stop"
waited=0
while kill -0 "$agent" 2>/dev/null && [ $waited -lt 200 ]; do
    sleep 0.1
    waited=$((waited + 1))
done
if kill -0 "$agent" 2>/dev/null; then
    say "   The serving agent did not end."
    client=1
else
    wait "$agent"
    say "   The serving agent ended with exit code $?."
fi

say ""
say "5. The tray utility edits the printer's defaults:"
"$KIV_WINE" "$(winpath "$bin/traydemo.exe")" || client=1

say ""
say "6. Removing the product, as from Add or Remove Programs:"
"$KIV_WINE" "$(winpath "$bin/uninstalldemo.exe")" || client=1

say ""
say "7. Restarting the sandbox Windows (wineboot -r) ..."
"$KIV_WINE" wineboot -r >/dev/null 2>&1
"$KIV_WINESERVER" -w >/dev/null 2>&1
if [ -e "$prefix/drive_c/Program Files/KivImagePrinter30" ]; then
    say "   $installed is still there."
    client=1
else
    say "   $installed is gone: the machine is clean again."
fi

say ""
if [ "$client" = 0 ]; then
    say "Every step worked."
else
    say "Some steps failed (see above)."
fi
exit "$client"
