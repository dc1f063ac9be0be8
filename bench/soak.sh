#!/bin/bash
# Soak: one `tqr coordinator` serves COUNT rendezvous of real `tqr send` and `tqr receive` processes,
# the first half one after another, the second half 20 at a time, and its memory, descriptors and
# threads are read from /proc before, after the 100th rendezvous (or the last, when COUNT < 100) and
# at the end, once every party has left. A coordinator that leaks shows end figures above start.
#
# Usage: bench/soak.sh TQR_PATH [COUNT]     (COUNT default 200)
# Environment: SOAK_COORDINATOR_PORT (default 27000) and SOAK_TOP_PORT (default 27020), the
# coordinator port and the top of its port pool; SOAK_TIMEOUT, the limit in seconds for one tqr
# process (default 60).
# Output: name=value lines: rss_kib_*, fds_*, threads_* for start, 100 and end, then
# rendezvous_ok, rendezvous_failed, seconds. Exit status 1 when a rendezvous failed or the
# coordinator died, 2 on a usage error.
set -u

tqr=${1:-}
count=${2:-200}
if [ -z "$tqr" ] || [ ! -x "$tqr" ]; then
    echo "usage: $0 TQR_PATH [COUNT]  (TQR_PATH must be the tqr executable)" >&2
    exit 2
fi
case $count in
    ''|*[!0-9]*|0) echo "soak.sh: COUNT must be a positive whole number, not '$count'" >&2; exit 2 ;;
esac

export TQR_COORDINATOR_PORT=${SOAK_COORDINATOR_PORT:-27000}
export TQR_TOP_PORT=${SOAK_TOP_PORT:-27020}
limit=${SOAK_TIMEOUT:-60}
batch=20
# The key goes in the environment: --key would add a warning to every party's stderr.
export TQR_KEY=soak-key

work=$(mktemp -d "${TMPDIR:-/tmp}/zel_soak.XXXXXX") || exit 2
coordinator=""

# Ends the processes this script started that are still running (its own unreaped jobs, so no
# process id that has been reused by now), then removes the work folder.
cleanup() {
    local pid
    for pid in $(jobs -p); do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# /proc figures of the coordinator.
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$coordinator/status"; }
threads() { awk '/^Threads:/ { print $2 }' "/proc/$coordinator/status"; }
fds() { ls "/proc/$coordinator/fd" | wc -l; }
alive() { kill -0 "$coordinator" 2>/dev/null; }
sample() {
    echo "rss_kib_$1=$(rss_kib)"
    echo "fds_$1=$(fds)"
    echo "threads_$1=$(threads)"
}

# Whether something accepts connections on the coordinator port.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$TQR_COORDINATOR_PORT") 2>/dev/null; }

if listening; then
    echo "soak.sh: port $TQR_COORDINATOR_PORT is already taken; set SOAK_COORDINATOR_PORT" >&2
    exit 2
fi
"$tqr" coordinator --quiet 2>"$work/coordinator.err" &
coordinator=$!
for _ in $(seq 1 100); do
    listening && break
    alive || break
    sleep 0.1
done
if ! alive || ! listening; then
    echo "soak.sh: the coordinator did not start:" >&2
    cat "$work/coordinator.err" >&2
    exit 1
fi

head -c 65536 /dev/urandom >"$work/payload"
ok=0
failed=0
sampled=0
started=$(date +%s)
sample start
start_fds=$(fds)
start_threads=$(threads)

# One receive; records its outcome.
receive() {  # conference output
    timeout "$limit" "$tqr" receive --host 127.0.0.1 --conference "$1" --output "$2" \
        >/dev/null 2>>"$work/parties.err" && cmp -s "$work/payload" "$2"
}

# After each rendezvous that completes: the sample at the 100th.
completed() {
    if [ "$sampled" -eq 0 ] && { [ $((ok + failed)) -ge 100 ] || [ $((ok + failed)) -ge "$count" ]; }; then
        sampled=1
        sample 100
    fi
}

# One sender serves every endstation of a stage; it is told how many and exits after them.
start_sender() {  # conference count
    # Its time limit grows with the endstations it serves: it lives for the whole stage.
    timeout "$((limit + $2))" "$tqr" send --host 127.0.0.1 --conference "$1" --count "$2" "$work/payload" \
        >/dev/null 2>>"$work/parties.err" &
    sender=$!
}
stop_sender() {
    # The sender exits by itself after its count; one that lost an endstation is ended here.
    if ! wait "$sender" 2>/dev/null; then :; fi
}

# First half: one endstation after another.
sequential=$((count / 2))
if [ "$sequential" -gt 0 ]; then
    start_sender soak-seq "$sequential"
    for i in $(seq 1 "$sequential"); do
        if receive soak-seq "$work/out-seq"; then ok=$((ok + 1)); else failed=$((failed + 1)); fi
        completed
        alive || break
    done
    stop_sender
fi

# Second half: batches of 20 endstations at once, each batch in a conference of its own.
left=$((count - sequential))
round=0
while [ "$left" -gt 0 ] && alive; do
    size=$((left < batch ? left : batch))
    round=$((round + 1))
    start_sender "soak-par-$round" "$size"
    receivers=()
    for i in $(seq 1 "$size"); do
        receive "soak-par-$round" "$work/out-par-$i" &
        receivers+=($!)
    done
    for pid in "${receivers[@]}"; do
        if wait "$pid"; then ok=$((ok + 1)); else failed=$((failed + 1)); fi
        completed
    done
    stop_sender
    left=$((left - size))
done

# The end figures once the coordinator has let every party go (its descriptors settle).
if alive; then
    for _ in $(seq 1 50); do
        [ "$(fds)" -le "$start_fds" ] && [ "$(threads)" -le "$start_threads" ] && break
        sleep 0.1
    done
    sample end
else
    echo "soak.sh: the coordinator died:" >&2
    tail -20 "$work/coordinator.err" >&2
fi
echo "rendezvous_ok=$ok"
echo "rendezvous_failed=$failed"
echo "seconds=$(( $(date +%s) - started ))"
if [ "$failed" -gt 0 ]; then
    echo "soak.sh: $failed rendezvous failed; the parties said:" >&2
    tail -20 "$work/parties.err" >&2
fi
alive && [ "$failed" -eq 0 ]
