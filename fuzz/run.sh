#!/bin/sh
# Runs every fuzz target of a build for its share of a time budget, starting from its corpus in
# fuzz/corpus/<target>/, and fails when one of them finds a crash, a broken check, a leak or a hang.
# Builds nothing: configure and build the targets first, with clang:
#
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DZEL_BUILD_FUZZERS=ON -DZEL_BUILD_TESTS=ON
#   cmake --build build-fuzz --target fuzz_reader fuzz_decode fuzz_coordinator
#   fuzz/run.sh 60 build-fuzz
#
# Usage: fuzz/run.sh [SECONDS_TOTAL] [BUILD_DIR]
#   SECONDS_TOTAL  the whole budget, default 60; the coordinator target gets half, the others a quarter
#   BUILD_DIR      default $ZEL_FUZZ_BUILD_DIR, else build-fuzz next to this directory
# Environment:
#   ZEL_FUZZ_OUT              where new corpus entries and crash files go (default: a temporary
#                             directory, removed when every target passes)
#   TQR_COORDINATOR_PORT,     the in-process coordinator's port and the top of its port pool for
#   TQR_TOP_PORT              fuzz_coordinator (default 26000 and 26020); its time limits are short
#                             (TQR_LISTEN_TIMEOUT, TQR_HANDSHAKE_TIMEOUT, TQR_KEYCHECK_TIMEOUT: 1 s),
#                             so that the parties it leaves stuck are let go quickly
# New inputs are never written into fuzz/corpus/; merge good ones by hand with -merge=1.
set -u

here=$(cd "$(dirname "$0")" && pwd)
total=${1:-60}
build=${2:-${ZEL_FUZZ_BUILD_DIR:-$here/../build-fuzz}}
case $total in
    ''|*[!0-9]*) echo "run.sh: SECONDS_TOTAL must be a whole number of seconds, not '$total'" >&2; exit 2 ;;
esac
bin=$build/bin
for target in fuzz_reader fuzz_decode fuzz_coordinator; do
    if [ ! -x "$bin/$target" ]; then
        echo "run.sh: $bin/$target is missing; build it first (ZEL_BUILD_FUZZERS=ON, clang)" >&2
        exit 2
    fi
done

out=${ZEL_FUZZ_OUT:-}
keep_out=1
if [ -z "$out" ]; then
    out=$(mktemp -d "${TMPDIR:-/tmp}/zel_fuzz.XXXXXX") || exit 2
    keep_out=0
fi

# A share of the budget, never under 5 seconds.
share() {
    s=$(( total * $1 / 100 ))
    [ "$s" -lt 5 ] && s=5
    echo "$s"
}

failed=""
run_target() {
    target=$1
    seconds=$2
    shift 2
    mkdir -p "$out/$target/corpus" "$out/$target/artifacts"
    echo "== $target for ${seconds}s"
    # -close_fd_mask=2 silences the library's own stderr lines; the targets report their broken checks,
    # and the sanitizers their findings, on a copy of stderr that libFuzzer keeps.
    if "$@" "$bin/$target" "$out/$target/corpus" "$here/corpus/$target" \
        -max_total_time="$seconds" -timeout=60 -close_fd_mask=2 -print_final_stats=1 \
        -artifact_prefix="$out/$target/artifacts/" >"$out/$target/log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units)' "$out/$target/log" | head -2
    else
        status=$?
        echo "run.sh: $target failed (status $status); its log:" >&2
        grep -vE '^#[0-9]+' "$out/$target/log" | tail -40 >&2
        echo "run.sh: inputs that failed: $(ls "$out/$target/artifacts" 2>/dev/null | tr '\n' ' ')" >&2
        echo "run.sh: reproduce with: ${*:+$* }$bin/$target $out/$target/artifacts/<file>" >&2
        failed="$failed $target"
    fi
}

run_target fuzz_reader "$(share 25)"
run_target fuzz_decode "$(share 25)"
run_target fuzz_coordinator "$(share 50)" \
    env TQR_COORDINATOR_PORT="${TQR_COORDINATOR_PORT:-26000}" TQR_TOP_PORT="${TQR_TOP_PORT:-26020}" \
    TQR_LISTEN_TIMEOUT=1 TQR_HANDSHAKE_TIMEOUT=1 TQR_KEYCHECK_TIMEOUT=1

if [ -n "$failed" ]; then
    echo "run.sh: FAILED:$failed (results kept in $out)" >&2
    exit 1
fi
[ "$keep_out" -eq 0 ] && rm -rf "$out"
echo "run.sh: all fuzz targets passed"
