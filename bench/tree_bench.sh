#!/usr/bin/env bash
# `tqr send FILE|FOLDER` against the pipe people write by hand, `tar -c ... | tqr send -` with
# `tqr receive -o - | tar -x` at the other end, on loopback: a coordinator, a sender with --count 1 and
# a receiver, each its own process.
#
#   bench/tree_bench.sh [SIZE_MIB] [FILES] [ROUNDS]   default: a 1024 MiB file, a folder of 10,000 small
#                                                      files (1 to 8 KiB), 3 rounds of each
#
# Uses build/bin/tqr (or $TQR), ports $TQR_COORDINATOR_PORT..$TQR_TOP_PORT (default 23600..23620), and a
# scratch folder under $TMPDIR (TMPDIR=/dev/shm leaves the disk out: on a small VM, making 10,000 files
# on disk alone can take seconds, and vary tenfold between runs). Each time runs from the start of the sender to the end of the receiver
# (the sender's BLAKE2b of a file, which lets a cut-off transfer continue, included), checks what
# arrived, and reports the best round.
set -euo pipefail

size_mib=${1:-1024}
files=${2:-10000}
rounds=${3:-3}
bench_port=23600
bench_name=tqr_tree_bench
. "$(dirname "$0")/tqr_bench_common.sh"

echo "== a $size_mib MiB file and a folder of $files small files, $rounds rounds each, tqr: $tqr"
mkdir -p "$work/src/big" "$work/src/small"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/src/big/payload.bin"
for i in $(seq "$files"); do
    dir="$work/src/small/tree/d$((i % 100))"
    [ -d "$dir" ] || mkdir -p "$dir"
    head -c $((1024 + (i * 7919) % 7168)) /dev/urandom > "$dir/f$i"
done
small_bytes=$(du -sb --apparent-size "$work/src/small/tree" | cut -f1)

start_coordinator

# One transfer of $2 (a name under src/$1), by tqr itself ($3 = tqr) or through tar ($3 = tar);
# prints its seconds.
transfer() {
    local set=$1 name=$2 how=$3 conference="t$BASHPID" start end sender status=0
    rm -rf "$work/in" && mkdir "$work/in"
    start=$(now)
    if [ "$how" = tqr ]; then
        (cd "$work/src/$set" && exec "$tqr" send --conference "$conference" --count 1 "$name" 2>/dev/null) &
        sender=$!
        (cd "$work/in" && "$tqr" receive --conference "$conference") 2>/dev/null || status=$?
    else
        (cd "$work/src/$set" && tar -c "$name" | "$tqr" send --conference "$conference" --count 1 - 2>/dev/null) &
        sender=$!
        (cd "$work/in" && "$tqr" receive --conference "$conference" -o - | tar -x) 2>/dev/null || status=$?
    fi
    [ "$status" -eq 0 ] || { kill "$sender" 2>/dev/null; echo "receive failed with status $status" >&2; exit 1; }
    wait "$sender" 2>/dev/null
    end=$(now)
    diff -r "$work/src/$set/$name" "$work/in/$name" > /dev/null || { echo "$name differs" >&2; exit 1; }
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

row() {  # label, bytes, seconds
    awk -v label="$1" -v bytes="$2" -v s="$3" 'BEGIN { printf "%-34s %8.3f s  %8.1f MiB/s\n", label, s, bytes / 1048576 / s }'
}

big=$((size_mib * 1024 * 1024))
row "file: tqr send FILE" "$big" "$(best big payload.bin tqr)"
row "file: tar -c FILE | tqr send -" "$big" "$(best big payload.bin tar)"
row "$files files: tqr send FOLDER" "$small_bytes" "$(best small tree tqr)"
row "$files files: tar -c FOLDER | tqr send -" "$small_bytes" "$(best small tree tar)"
