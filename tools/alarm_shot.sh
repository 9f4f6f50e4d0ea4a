#!/usr/bin/env bash
# The screenshots of the alarm summary for the README: the window under Xvfb against the
# simulator with alarms held on both units (a water leak, a fire alarm, a hidden water
# level fault, limits crossed), the link opened and the summary shown. Writes
# docs/alarm-summary.png at the screen's size; with a second argument, that file name.
#
#   xvfb-run -a -s "-screen 0 1600x1000x24" bash tools/alarm_shot.sh [BUILD_DIR] [NAME]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
name=${2:-alarm-summary.png}
work=$(mktemp -d)
pids=()
# The summary is shown at start when its settings say so: Recording.ini beside the program.
settings=$build/main/Recording.ini
[[ -e $settings ]] && cp "$settings" "$work/Recording.ini.kept"
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    if [[ -e $work/Recording.ini.kept ]]; then cp "$work/Recording.ini.kept" "$settings"; else rm -f "$settings"; fi
    rm -rf "$work"
}
trap cleanup EXIT
printf '[Recording]\nEnabled=false\n[AlarmSummary]\nShown=true\n' >"$settings"

"$build/tools/ac_sim" --link "$work/port" --alarm-every 0 --control "$work/ctl" >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -e $work/port && -p $work/ctl ]] && break; sleep 0.05; done
control() { echo "$*" >"$work/ctl"; sleep 0.1; }
control alarm 1 1 return_air_temp high
control alarm 1 1 filter high

"$build/main/AirConTool" --port "$work/port" >"$work/app.out" 2>&1 &
pids+=($!)
wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "${pids[1]}" | head -1)
sleep 1
xdotool mousemove --window "$wid" 683 32 click 1 # 打开串口
sleep 4                                            # both units read: the first alarms
control alarm 1 2 fire fault
control alarm 1 2 water_level fault
sleep 3.5
control alarm 1 1 water_leak low
sleep 3.5
# The summary lies below the designed area: scroll the window down to it.
xdotool mousemove --window "$wid" 400 300 click --repeat 10 5
sleep 0.5
mkdir -p "$root/docs"
import -window root "$root/docs/$name"
echo "$root/docs/$name"
