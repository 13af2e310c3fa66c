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
# setup first, on the fresh machine, then the agent, then idle cost, and
# last the kernel calls of a request, counted in the wineserver's trace.
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
    bench_calls || rc=1
    exit $rc
)

# calls_run N: N folder tests through the agent under a wineserver that
# traces every call; prints the client's and the agent's counts.
calls_run() {
    kiv_end_wine
    WINEDEBUG=+server timeout "$group_limit" "$KIV_WINE" "$bin/kivbench.exe" calls "$1" \
        >"$work/ids" 2>"$work/trace" || return 1
    kiv_end_wine
    # A request line is "TID: name( ...", its reply "TID: name() = ...".
    awk -v ids="$work/ids" '
        BEGIN { while ((getline line < ids) > 0) { sub(/\r$/, "", line); n = split(line, f, " ");
                    for (i = 2; i <= n; i++) role[f[i]] = f[1] } }
        /^[0-9a-f]+: [a-z_0-9]+\(/ && !/\) = / { t = substr($1, 1, length($1) - 1)
                    if (t in role) count[role[t]]++ }
        END { printf "%d %d\n", count["client"], count["agent"] }' "$work/trace"
}

# bench_calls: the kernel calls (wineserver calls) one request costs, the
# difference between two runs of different lengths over the extra
# requests, against the protocol's floor of 4 in the client and 2 in the
# agent.
bench_calls() {
    short=1000
    long=3000
    what="agent kernel calls a request, client + agent"
    if ! a=$(calls_run $short) || ! b=$(calls_run $long); then
        printf '%-54s %-34s %-10s %s\n' "$what" "not measured (see $log)" "4 + 2" "failed"
        tail -n 5 "$work/trace" >>"$log" 2>/dev/null
        return 1
    fi
    set -- $a $b
    client=$(awk -v x="$1" -v y="$3" -v n=$((long - short)) 'BEGIN { printf "%.2f", (y - x) / n }')
    agent=$(awk -v x="$2" -v y="$4" -v n=$((long - short)) 'BEGIN { printf "%.2f", (y - x) / n }')
    verdict=$(awk -v c="$client" -v a="$agent" 'BEGIN { print (c <= 4.05 && a <= 2.05) ? "met" : "NOT MET" }')
    printf '%-54s %-34s %-10s %s\n' "$what" "$client + $agent" "4 + 2" "$verdict"
}

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
