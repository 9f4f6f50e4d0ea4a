#!/usr/bin/env bash
# The cost of a full scan: AirConPoll --scan over all 256 addresses at 9600 bit/s 8N1 and
# the default margin (50 ms) against the simulator, three controllers on a line kept at
# 9600 bit/s. Prints one row: the wall time, the controllers found, and the goal.
#
#   bash bench/scan_full.sh              uses the build in $BENCH_BUILD_DIR (default build)
#   SCAN_RATE=19200 bash bench/scan_full.sh   another rate (the line kept at the same rate)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build}
rate=${SCAN_RATE:-9600}
[[ -x $build/AirConPoll/AirConPoll && -x $build/tools/ac_sim ]] ||
    cmake --build "$build" -j2 --target AirConPoll ac_sim >/dev/null

work=$(mktemp -d)
sim_pid=
cleanup() {
    [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/ac_sim" --link "$work/port" --addr 1,7,200 --line-baud "$rate" \
    >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    [[ -e $work/port ]] && break
    sleep 0.05
done
[[ -e $work/port ]] || { echo "ac_sim did not start: $(cat "$work/sim.out")" >&2; exit 1; }

start=$(date +%s.%N)
status=0
"$build/AirConPoll/AirConPoll" --port "$work/port" --scan --baud-list "$rate" \
    --addr-range 0-255 >"$work/found" 2>"$work/err" || status=$?
end=$(date +%s.%N)
found=$(wc -l <"$work/found")
seconds=$(echo "$end - $start" | bc -l)
# The floor: 256 commands of 18 characters at 10 bits each, on the line back to back.
floor=$(echo "256 * 18 * 10 / $rate" | bc -l)
printf 'scan 256 addresses at %s bit/s: %.1f s (floor %.1f s, goal <= 30 s at 9600), %d found, exit %d\n' \
    "$rate" "$seconds" "$floor" "$found" "$status"
