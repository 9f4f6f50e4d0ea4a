#!/usr/bin/env bash
# The screenshot of the window listening, for the README: the simulator (controller 1)
# with a tap, AirConPoll the master on the line at the window's defaults, the window on
# the tap with "监听" switched on and the link opened, taken after
# a few poll cycles; then the traffic log opened below it. Writes docs/listen.png and
# docs/listen-traffic.png.
#
#   xvfb-run -a -s "-screen 0 1600x1000x24" bash tools/listen_shot.sh [BUILD_DIR]
set -euo pipefail
# shellcheck source=shot_common.sh source-path=SCRIPTDIR
source "$(dirname "$0")/shot_common.sh"

start_sim --tap "$work/tap" --addr 1 --seed 3
start_poller --port "$work/port" --json --interval 500 --timeout 350

start_window --port "$work/tap"
xdotool mousemove --window "$wid" 15 752 click 1   # 监听, left end of the status bar
sleep 0.5
open_port
sleep 6
shot root listen.png
# The traffic log below the window; the window scrolls to its foot on this screen.
xdotool mousemove --window "$wid" 774 726 click 1  # 通讯记录, right end of the link bar
sleep 3
xdotool mousemove --window "$wid" 20 400 click --repeat 40 --delay 20 5
sleep 1
shot root listen-traffic.png
echo "$root/docs/listen.png $root/docs/listen-traffic.png"
