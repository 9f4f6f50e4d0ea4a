#!/usr/bin/env bash
# The screenshot of the dialog "参数文件" for the README: the simulator's parameters saved with
# the poller, then its fan speed and set point changed; the window under Xvfb, the link opened,
# the dialog opened from the status bar, the saved file opened and compared with the controller.
# Writes docs/param-set-dialog.png.
#
#   xvfb-run -a -s "-screen 0 1280x1024x24" bash tools/param_shot.sh [BUILD_DIR]
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

"$build/tools/ac_sim" --link "$work/port" --control "$work/control" --alarm-every 0 \
    >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -e $work/port && -e $work/control ]] && break; sleep 0.05; done
"$build/AirConPoll/AirConPoll" --port "$work/port" --params-save "$work/区域标准.ini"
echo 'param 1 0xC1 1' >"$work/control"
echo 'param 1 0x86 23' >"$work/control"
# The window reads its settings file beside the program; the one there is kept.
settings=$build/main/ComSetting.ini
[[ -e $settings ]] && cp "$settings" "$work/ComSetting.ini.kept"
printf '[ComPort1]\nPort=%s\n' "$work/port" >"$settings"
restore() { [[ -e $work/ComSetting.ini.kept ]] && cp "$work/ComSetting.ini.kept" "$settings" || rm -f "$settings"; }

"$build/main/AirConTool" >"$work/app.out" 2>&1 &
pids+=($!)
wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "${pids[1]}" | head -1)
sleep 1
xdotool mousemove --window "$wid" 683 32 click 1   # 打开串口
sleep 1.5
xdotool mousemove --window "$wid" 775 751 click 1  # 参数文件…, right end of the status bar
sleep 2.5                                          # the dialog reads the controller
dlg=$(xdotool search --onlyvisible --name "^参数文件$" | head -1)
xdotool mousemove --window "$dlg" "${OPEN_X:-235}" "${OPEN_Y:-578}" click 1  # 打开文件并比较…
sleep 1.5
xdotool type --delay 20 "$work/区域标准.ini"
xdotool key Return
sleep 1.5
mkdir -p "$root/docs"
import -window "$dlg" "$root/docs/param-set-dialog.png"
restore
echo "$root/docs/param-set-dialog.png"
