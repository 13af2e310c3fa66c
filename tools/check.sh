#!/bin/sh
# make check: runs the test suites of the two builds under Wine.
#
#   check.sh BUILDDIR JOBS
#
# The x64 suite runs always: every machine of this project runs 64-bit
# Wine, and a machine that cannot fails the check.  The x86 suite runs
# where the machine runs 32-bit code (tools/probe-arch.sh asks once per
# run); where it cannot, the x86 build's checks that need no Wine still
# run (label nowine: the PE check of build/dist).  The probe's answer
# reaches the tests as KIV_X86_RUNS ("yes", or why not), for the x64 test
# that runs the x86 build's client.  The last line says which suites ran,
# which tests were skipped and, for a suite that did not run, why.  Never
# a silent skip.
set -u
build=$(cd "${1:-build}" && pwd)
jobs=${2:-2}
tools=$(cd "$(dirname "$0")" && pwd)
failed=0
summary=""

# suite ARCH [CTEST ARGS]: runs one build's ctest; sets $result to what it
# says of itself ("145 tests passed", "3 of 145 tests failed", with the
# skipped ones named).
suite() {
    arch=$1
    shift
    log=$build/$arch/check.log
    (cd "$build/$arch" && ctest -j "$jobs" --output-on-failure "$@") 2>&1 | tee "$log"
    line=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
    total=$(printf '%s' "$line" | sed -n 's/.* out of \([0-9]*\).*/\1/p')
    bad=$(printf '%s' "$line" | sed -n 's/.* \([0-9]*\) tests failed.*/\1/p')
    skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$log")
    nskipped=$(printf '%s' "$skipped" | grep -c .)
    if [ -z "$line" ]; then
        result="did not report (see $log)"
        failed=1
    elif [ "$bad" = 0 ]; then
        result="$((total - nskipped)) of $total tests passed"
    else
        result="$bad of $total tests failed"
        failed=1
    fi
    if [ "$nskipped" != 0 ]; then
        result="$result, $nskipped skipped ($(printf '%s' "$skipped" | paste -sd, - | sed 's/,/, /g'))"
    fi
}

if why86=$("$tools/probe-arch.sh" x86); then
    KIV_X86_RUNS=yes
else
    KIV_X86_RUNS=$why86
fi
export KIV_X86_RUNS

if why=$("$tools/probe-arch.sh" x64); then
    echo "== x64 suite (64-bit Wine) =="
    suite x64
    summary="x64 suite ran: $result"
else
    summary="x64 suite did not run: $why"
    failed=1
fi

if [ "$KIV_X86_RUNS" = yes ]; then
    echo "== x86 suite (32-bit Wine) =="
    suite x86
    summary="$summary; x86 suite ran: $result"
else
    echo "== x86 build: checks without Wine only ($why86) =="
    suite x86 -L nowine
    summary="$summary; x86 suite did not run: $why86 (its checks without Wine: $result)"
fi

echo "check: $summary"
exit $failed
