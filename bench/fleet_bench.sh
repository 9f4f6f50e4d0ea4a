#!/usr/bin/env bash
# The poller with 8 controllers on one line, with faults, for FLEET_BENCH_S seconds
# (default 600): its CPU time over the run in % of one core, and how much its resident
# memory grew from the end of the first minute to the end. One row of figures, the goals
# beside it. Not a test; run it on a calm machine.
#
#   bash bench/fleet_bench.sh [BUILD_DIR]        (default build-bench, Release)
#
# The simulator answers at addresses 1-8 with dropped, late, damaged and noisy replies,
# and every 20 s the control pipe changes who is silent, who answers late, who answers at
# another address (a polled one and one not polled), so that every path of the booking runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-${BENCH_BUILD_DIR:-build-bench}}
[[ $build == /* ]] || build=$root/$build
seconds=${FLEET_BENCH_S:-600}
warmup=60
((seconds > warmup)) || { echo "FLEET_BENCH_S must be more than $warmup" >&2; exit 2; }

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DSANITIZE=OFF -DBUILD_FUZZERS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target AirConPoll ac_sim >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/ac_sim" --link "$work/tty" --addr 1-8 --control "$work/control" \
    --drop 0.02 --delay 0.02 --delay-ms 500 --corrupt 0.02 --noise 0.05 >"$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -L $work/tty && -p $work/control ]] && break; sleep 0.1; done
[[ -L $work/tty ]] || { echo "the simulator did not start" >&2; exit 1; }

"$build/AirConPoll/AirConPoll" --port "$work/tty" --addr 1-8 --textfile "$work/m.prom" \
    --params-interval 60 2>"$work/poll.log" &
poller=$!
pids+=("$poller")

# Faults changing while it runs.
(
    scenes=("silent 3" "late 4 500" "reply-as 5 6" "reply-as 7 99" "normal")
    i=0
    while :; do
        sleep 20
        echo "${scenes[i % ${#scenes[@]}]}" >"$work/control" || exit 0
        i=$((i + 1))
    done
) &
pids+=($!)

ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$poller/stat"; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$poller/status"; }

sleep "$warmup"
cpu0=$(cpu) rss0=$(rss) t0=$(date +%s.%N)
sleep $((seconds - warmup))
cpu1=$(cpu) rss1=$(rss) t1=$(date +%s.%N)
kill -0 "$poller" || { echo "the poller ended early" >&2; tail "$work/poll.log" >&2; exit 1; }

strays=$(awk '/^aircon_stray_replies_total/ { s += $2 } END { print s + 0 }' "$work/m.prom")
errors=$(awk '/^aircon_error_frames_total/ { print $2 }' "$work/m.prom")
awk -v c0="$cpu0" -v c1="$cpu1" -v t0="$t0" -v t1="$t1" -v hz="$ticks" -v r0="$rss0" -v r1="$rss1" \
    -v s="$seconds" -v w="$warmup" -v strays="$strays" -v errors="$errors" 'BEGIN {
    pct = 100 * (c1 - c0) / hz / (t1 - t0)
    grow = r1 - r0
    printf "| AirConPoll, 8 controllers on one line with faults (%d s) | CPU %.3f %% of a core (goal < 0.3 %%) %s | RSS %d -> %d kB, growth %d kB over %d s (goal <= 512 kB) %s | strays %d, error frames %s |\n",
        s, pct, pct < 0.3 ? "ok" : "MISSED", r0, r1, grow, s - w, grow <= 512 ? "ok" : "MISSED", strays, errors
}'
