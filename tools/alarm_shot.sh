#!/usr/bin/env bash
# The screenshots of the alarm summary for the README: the window under Xvfb against the
# simulator with alarms held on both units (a water leak, a fire alarm, a hidden water
# level fault, limits crossed), the link opened and the summary shown. Writes
# docs/alarm-summary.png at the screen's size; with a second argument, that file name.
#
#   xvfb-run -a -s "-screen 0 1600x1000x24" bash tools/alarm_shot.sh [BUILD_DIR] [NAME]
set -euo pipefail
# shellcheck source=shot_common.sh source-path=SCRIPTDIR
source "$(dirname "$0")/shot_common.sh"
name=${2:-alarm-summary.png}

# The summary is shown at start when its settings say so: Recording.ini beside the program.
settings=$build/main/Recording.ini
keep_file "$settings"
printf '[Recording]\nEnabled=false\n[AlarmSummary]\nShown=true\n' >"$settings"

start_sim --alarm-every 0 --control "$work/control"
control alarm 1 1 return_air_temp high
control alarm 1 1 filter high

start_window --port "$work/port"
open_port
sleep 4                                            # both units read: the first alarms
control alarm 1 2 fire fault
control alarm 1 2 water_level fault
sleep 3.5
control alarm 1 1 water_leak low
sleep 3.5
# The summary lies below the designed area: scroll the window down to it.
xdotool mousemove --window "$wid" 400 300 click --repeat 10 5
sleep 0.5
shot root "$name"
echo "$root/docs/$name"
