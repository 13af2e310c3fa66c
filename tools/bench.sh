#!/bin/sh
# make bench: the benchmarks, one table per build that runs on this
# machine (the x64 build always; the x86 build where the machine runs
# 32-bit code, otherwise a line says why it was not measured).
#
#   bench.sh BUILDDIR
#
# Each build gets a fresh prefix made by wine-template.sh, with the UNC
# share \\kivbench\share (the prefix's C:\kivbenchshare), and runs
# kivbench from its bin folder under its own loader (wine-env.sh):
# setup first, on the fresh machine, then the agent, then idle cost.
# README.md, "Benchmarks", says how to read the rows.  Not a test: it
# fails only when a measurement could not be made.
set -u
build=$(cd "${1:-build}" && pwd)
tools=$(cd "$(dirname "$0")" && pwd)
# Longest a group may run before it counts as hung.
group_limit=300
failed=0
started=$(date +%s)
# Other work on the machine (builds, test runs) disturbs the timings less
# when the bench and the Wine processes it starts run before it, where
# the system allows that (root); measured and reference alike.
renice -n -10 -p $$ >/dev/null 2>&1 || true

# Column widths as kivbench prints its rows (tools/bench/benchutil.cpp).
header() {
    printf '%-54s %-34s %-10s %s\n' "Measure" "Result" "Goal" "Verdict"
    printf '%-54s %-34s %-10s %s\n' "-------" "------" "----" "-------"
}

# bench_build ARCH: one build's table.
bench_build() (
    KIV_WINE_ARCH=$1
    export KIV_WINE_ARCH
    . "$tools/wine-env.sh"
    bin=$build/$KIV_WINE_ARCH/bin
    work=$(mktemp -d "$build/$KIV_WINE_ARCH/bench.XXXXXX") || exit 1
    prefix=$work/prefix
    log=$build/$KIV_WINE_ARCH/bench.log
    export WINEPREFIX="$prefix" WINEDEBUG=-all
    finish() {
        kiv_end_wine
        rm -rf "$work"
    }
    trap finish EXIT
    trap 'exit 130' INT TERM

    : > "$log"
    if ! "$tools/wine-template.sh" "$prefix" >>"$log" 2>&1; then
        echo "could not make a prefix (see $log)"
        exit 1
    fi
    mkdir -p "$prefix/drive_c/kivbenchshare"
    kiv_add_share "$prefix" kivbench ../../../drive_c/kivbenchshare
    echo "Load average when the table started: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores."
    header
    rc=0
    for group in setup agent idle; do
        timeout "$group_limit" "$KIV_WINE" "$bin/kivbench.exe" "$group" 2>>"$log"
        status=$?
        if [ $status = 124 ]; then
            echo "kivbench $group did not finish within $group_limit s"
        fi
        [ $status = 0 ] || rc=1
        # Nothing of one group runs on into the next.
        kiv_end_wine
    done
    exit $rc
)

for arch in x64 x86; do
    echo
    echo "== $arch build ($build/$arch/bin) =="
    if why=$("$tools/probe-arch.sh" "$arch"); then
        bench_build "$arch" || failed=1
    else
        echo "The $arch build was not measured: $why."
        [ "$arch" = x64 ] && failed=1
    fi
done
echo
echo "bench: done in $(( $(date +%s) - started )) s"
exit $failed
