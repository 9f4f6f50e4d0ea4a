#!/usr/bin/env bash
# Two controllers on one simulated line, alerted on end to end: ac_sim, AirConPoll --addr 1,2,
# the node exporter, Prometheus with the shipped rules made fast, Alertmanager with the shipped
# example's routes and inhibitions, a webhook receiver of the test (tools/fleet_check.py).
# Loopback only, free ports, a temporary folder; everything it starts is stopped on exit.
#
#   bash tools/fleet_check.sh [BUILD_DIR]      (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build}
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target AirConPoll ac_sim >/dev/null
exec timeout 600 python3 tools/fleet_check.py "$root/$build/tools/ac_sim" "$root/$build/AirConPoll/AirConPoll"
