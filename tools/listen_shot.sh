#!/usr/bin/env bash
# The screenshot of the window listening, for the README: the simulator (controller 1)
# with a tap, AirConPoll the master on the line at the window's defaults, the window on
# the tap with "监听" switched on and the link opened, taken after
# a few poll cycles; then the traffic log opened below it. Writes docs/listen.png and
# docs/listen-traffic.png.
#
#   xvfb-run -a -s "-screen 0 1600x1000x24" bash tools/listen_shot.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/ac_sim" --link "$work/port" --tap "$work/tap" --addr 1 --seed 3 >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -e $work/port && -e $work/tap ]] && break; sleep 0.05; done
"$build/AirConPoll/AirConPoll" --port "$work/port" --json --interval 500 --timeout 350 \
    >"$work/poll.out" 2>&1 &
pids+=($!)

"$build/main/AirConTool" --port "$work/tap" >"$work/app.out" 2>&1 &
pids+=($!)
wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "${pids[2]}" | head -1)
sleep 1
xdotool mousemove --window "$wid" 15 752 click 1   # 监听, left end of the status bar
sleep 0.5
xdotool mousemove --window "$wid" 683 32 click 1   # 打开串口
sleep 6
mkdir -p "$root/docs"
import -window root "$root/docs/listen.png"
# The traffic log below the window; the window scrolls to its foot on this screen.
xdotool mousemove --window "$wid" 774 726 click 1  # 通讯记录, right end of the link bar
sleep 3
xdotool mousemove --window "$wid" 20 400 click --repeat 40 --delay 20 5
sleep 1
import -window root "$root/docs/listen-traffic.png"
echo "$root/docs/listen.png $root/docs/listen-traffic.png"
