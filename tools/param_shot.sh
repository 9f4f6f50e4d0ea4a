#!/usr/bin/env bash
# The screenshot of the dialog "参数文件" for the README: the simulator's parameters saved with
# the poller, then its fan speed and set point changed; the window under Xvfb, the link opened,
# the dialog opened from the status bar, the saved file opened and compared with the controller.
# Writes docs/param-set-dialog.png.
#
#   xvfb-run -a -s "-screen 0 1280x1024x24" bash tools/param_shot.sh [BUILD_DIR]
set -euo pipefail
# shellcheck source=shot_common.sh source-path=SCRIPTDIR
source "$(dirname "$0")/shot_common.sh"

start_sim --control "$work/control" --alarm-every 0
"$build/AirConPoll/AirConPoll" --port "$work/port" --params-save "$work/区域标准.ini"
control param 1 0xC1 1
control param 1 0x86 23
window_port "$work/port"

# shellcheck disable=SC2119 # the port comes from the settings file
start_window
open_port
sleep 1.5
xdotool mousemove --window "$wid" 775 751 click 1  # 参数文件…, right end of the status bar
sleep 2.5                                          # the dialog reads the controller
dlg=$(xdotool search --onlyvisible --name "^参数文件$" | head -1)
xdotool mousemove --window "$dlg" "${OPEN_X:-235}" "${OPEN_Y:-578}" click 1  # 打开文件并比较…
sleep 1.5
xdotool type --delay 20 "$work/区域标准.ini"
xdotool key Return
sleep 1.5
shot "$dlg" param-set-dialog.png
echo "$root/docs/param-set-dialog.png"
