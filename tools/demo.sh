#!/bin/sh
# make demo: the path agent at work in a sandbox Wine prefix.
#
# Starts kivprt in serve mode, lets a client program (built on the common
# library's agent client, as the printer driver's components are) copy a
# file into the UNC folder \\kivdemo\share\pages, test that folder and the
# file, and run a command, all through the agent; then stops the agent
# with a second copy in stop mode.  Each step is printed with its result.
#
#   demo.sh BUILDDIR
set -u
build=${1:-build}
build=$(cd "$build" && pwd)
dist=$build/dist
bin=$build/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/kivdemo.XXXXXX")
prefix=$work/prefix
share=$work/share
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all

finish() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM

say() { printf '%s\n' "$*"; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

say "== Kiv Image Printer: the path agent at work =="
say "Preparing a sandbox Windows (Wine) in $prefix ..."
"$(dirname "$0")/wine-template.sh" "$prefix" >/dev/null 2>&1 || { say "Could not make the sandbox."; exit 1; }
mkdir -p "$share/pages" "$prefix/dosdevices/unc/kivdemo"
ln -s "$share" "$prefix/dosdevices/unc/kivdemo/share"
say "The network folder \\\\kivdemo\\share is the temporary folder $share."
mkdir -p "$prefix/drive_c/kivdemo"
printf 'Page 1 of a printed document.\r\n' > "$prefix/drive_c/kivdemo/page1.txt"

say ""
say "1. Starting the path agent (kivprt.exe  -start) ..."
wine "$(winpath "$dist/kivprt.exe")" "  -start" &
agent=$!

say "2. A client program works through the agent:"
wine "$(winpath "$bin/agentdemo.exe")" 'C:\kivdemo\page1.txt' '\\kivdemo\share\pages'
client=$?

say ""
say "   What the network folder holds now, seen from Linux:"
for f in "$share"/pages/*; do
    say "     $(basename "$f"): $(tr -d '\r' < "$f")"
done
say "   The agent's autostart value:"
say "     $(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v kivprt 2>/dev/null | tr -d '\r' | grep kivprt | sed 's/^ *//')"

say ""
say "3. Stopping the agent with a second copy (kivprt.exe  -stop) ..."
wine "$(winpath "$dist/kivprt.exe")" "  -stop"
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
if [ "$client" = 0 ]; then
    say "Every step worked."
else
    say "Some steps failed (see above)."
fi
exit "$client"
