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
here=$(cd "$(dirname "$0")/.." && pwd)
tqr=${TQR:-$here/build/bin/tqr}
export TQR_COORDINATOR_PORT=${TQR_COORDINATOR_PORT:-23500}
export TQR_TOP_PORT=${TQR_TOP_PORT:-$((TQR_COORDINATOR_PORT + 20))}
export TQR_KEY=${TQR_KEY:-bench-key}

[ -x "$tqr" ] || { echo "no tqr at $tqr (build it, or set TQR)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/tqr_bench_XXXXXX")
coordinator=""
cleanup() {
    [ -n "$coordinator" ] && kill "$coordinator" 2>/dev/null && wait "$coordinator" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }

echo "== $size_mib MiB of random bytes, $rounds rounds per mode, tqr: $tqr"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/payload.bin"
sum=$(sha256sum < "$work/payload.bin" | cut -d' ' -f1)

"$tqr" coordinator --quiet > "$work/coordinator.log" 2>&1 &
coordinator=$!
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/$TQR_COORDINATOR_PORT) 2>/dev/null && break
    sleep 0.05
done

# One transfer; prints its seconds. $1: file or stream, $2: extra options (--plain or nothing).
# Runs in a subshell of its own, whose process id names its conference.
transfer() {
    local how=$1 mode=$2 conference="b$BASHPID" start end sender status=0
    rm -f "$work/received.bin"
    start=$(now)
    if [ "$how" = file ]; then
        "$tqr" send $mode --conference "$conference" --count 1 "$work/payload.bin" &
        sender=$!
        "$tqr" receive $mode --conference "$conference" --output "$work/received.bin" || status=$?
    else
        "$tqr" send $mode --conference "$conference" --count 1 - < "$work/payload.bin" &
        sender=$!
        "$tqr" receive $mode --conference "$conference" --output - > "$work/received.bin" || status=$?
    fi
    if [ "$status" -ne 0 ]; then
        kill "$sender" 2>/dev/null
        echo "receive failed with status $status" >&2
        exit 1
    fi
    wait "$sender"
    end=$(now)
    [ "$(sha256sum < "$work/received.bin" | cut -d' ' -f1)" = "$sum" ] || { echo "payload differs" >&2; exit 1; }
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

best() {  # how, mode: the best of the rounds, in seconds
    local fastest="" seconds
    for _ in $(seq "$rounds"); do
        seconds=$(transfer "$1" "$2")
        if [ -z "$fastest" ] || awk -v a="$seconds" -v b="$fastest" 'BEGIN { exit !(a < b) }'; then fastest=$seconds; fi
    done
    echo "$fastest"
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
