#!/usr/bin/env bash
# The screenshot of the dialog "查找设备" for the README: the window under Xvfb against the
# simulator (controllers at 1, 7 and 200 on a line kept at 9600 bit/s), the link opened,
# the dialog opened from the status bar, addresses 0-10 at 9600 and 19200, taken while the
# scan is at 19200 bit/s. Writes docs/scan-dialog.png.
#
#   xvfb-run -a -s "-screen 0 1280x1024x24" bash tools/scan_shot.sh [BUILD_DIR]
set -euo pipefail
# shellcheck source=shot_common.sh source-path=SCRIPTDIR
source "$(dirname "$0")/shot_common.sh"

start_sim --addr 1,7,200 --line-baud 9600
window_port "$work/port"

# shellcheck disable=SC2119 # the port comes from the settings file
start_window
open_port
sleep 1.5
xdotool mousemove --window "$wid" 640 751 click 1  # 查找设备, left of 告警 and 参数文件… at the right end
sleep 1.5
dlg=$(xdotool search --onlyvisible --name "查找设备" | head -1)
xdotool mousemove --window "$dlg" 150 22 click --repeat 3 1 key ctrl+a type 10  # 到 10
for x in 60 122 184; do xdotool mousemove --window "$dlg" "$x" 49 click 1; done  # 1200 2400 4800 off
xdotool mousemove --window "$dlg" 622 77 click 1  # 开始
sleep 2.6
shot "$dlg" scan-dialog.png
echo "$root/docs/scan-dialog.png"
