# What the tqr benchmark scripts share; sourced, not run. Before sourcing: `bench_port` (the default
# coordinator port) and `bench_name` (the scratch folder's prefix). It sets `tqr` (build/bin/tqr or
# $TQR), the ports and a key in the environment, a scratch folder `work` removed at exit, and
# defines now, start_coordinator and best.

here=$(cd "$(dirname "$0")/.." && pwd)
tqr=${TQR:-$here/build/bin/tqr}
export TQR_COORDINATOR_PORT=${TQR_COORDINATOR_PORT:-$bench_port}
export TQR_TOP_PORT=${TQR_TOP_PORT:-$((TQR_COORDINATOR_PORT + 20))}
export TQR_KEY=${TQR_KEY:-a-benchmark-key-of-some-length}

[ -x "$tqr" ] || { echo "no tqr at $tqr (build it, or set TQR)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/${bench_name}_XXXXXX")
coordinator=""
cleanup() {
    [ -n "$coordinator" ] && kill "$coordinator" 2>/dev/null && wait "$coordinator" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }

# `tqr coordinator` in the background, once its port accepts.
start_coordinator() {
    "$tqr" coordinator --quiet > "$work/coordinator.log" 2>&1 &
    coordinator=$!
    for _ in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/$TQR_COORDINATOR_PORT) 2>/dev/null && break
        sleep 0.05
    done
}

# The fastest of $rounds runs of `transfer ARGS...` (which prints its seconds): the least disturbed by
# whatever else the machine does.
best() {
    local fastest="" seconds
    for _ in $(seq "$rounds"); do
        seconds=$(transfer "$@")
        if [ -z "$fastest" ] || awk -v a="$seconds" -v b="$fastest" 'BEGIN { exit !(a < b) }'; then fastest=$seconds; fi
    done
    echo "$fastest"
}
