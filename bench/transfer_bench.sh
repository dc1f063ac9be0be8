#!/usr/bin/env bash
# Throughput of one `tqr` transfer on loopback, encrypted (the default) against --plain: a coordinator,
# a sender with --count 1 and a receiver, each its own process, as a user runs them.
#
#   bench/transfer_bench.sh [SIZE_MIB] [ROUNDS]     default: 1024 MiB, 3 rounds per mode
#
# Uses build/bin/tqr (or $TQR), ports $TQR_COORDINATOR_PORT..$TQR_TOP_PORT (default 23500..23520), and a
# scratch folder under $TMPDIR. Reports the best round of each mode (least disturbed by other work on
# the machine) and the ratio encrypted/plain, for file to file and for standard input to standard output.
set -euo pipefail

size_mib=${1:-1024}
rounds=${2:-3}
bench_port=23500
bench_name=tqr_bench
. "$(dirname "$0")/tqr_bench_common.sh"

echo "== $size_mib MiB of random bytes, $rounds rounds per mode, tqr: $tqr"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/payload.bin"
sum=$(sha256sum < "$work/payload.bin" | cut -d' ' -f1)

start_coordinator

# One transfer; prints its seconds. $1: file or stream, $2: extra options (--plain or nothing).
# Runs in a subshell of its own, whose process id names its conference.
transfer() {
    local how=$1 mode=$2 conference="b$BASHPID" start end sender status=0
    rm -f "$work/received.bin"
    start=$(now)
    if [ "$how" = file ]; then
        "$tqr" send $mode --conference "$conference" --count 1 "$work/payload.bin" 2>/dev/null &
        sender=$!
        "$tqr" receive $mode --conference "$conference" --output "$work/received.bin" 2>"$work/receive.err" || status=$?
    else
        "$tqr" send $mode --conference "$conference" --count 1 - < "$work/payload.bin" 2>/dev/null &
        sender=$!
        "$tqr" receive $mode --conference "$conference" --output - > "$work/received.bin" 2>"$work/receive.err" || status=$?
    fi
    if [ "$status" -ne 0 ]; then
        kill "$sender" 2>/dev/null
        cat "$work/receive.err" >&2
        echo "receive failed with status $status" >&2
        exit 1
    fi
    wait "$sender"
    end=$(now)
    [ "$(sha256sum < "$work/received.bin" | cut -d' ' -f1)" = "$sum" ] || { echo "payload differs" >&2; exit 1; }
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

report() {  # how
    local plain encrypted
    plain=$(best "$1" --plain)
    encrypted=$(best "$1" "")
    awk -v how="$1" -v mib="$size_mib" -v p="$plain" -v e="$encrypted" 'BEGIN {
        printf "%-7s plain      %7.3f s  %7.1f MiB/s\n", how, p, mib / p
        printf "%-7s encrypted  %7.3f s  %7.1f MiB/s\n", how, e, mib / e
        printf "%-7s encrypted/plain: %.0f%%\n", how, 100 * p / e
    }'
}

report file
report stream
