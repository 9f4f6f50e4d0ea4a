#!/usr/bin/env bash
# CPU of the real program on an X display while it polls: the window on a private
# Xvfb display (xcb platform), the link opened against the simulator ac_sim on a
# pseudo-terminal, each monitor tab visible for SECONDS in turn.
#
#   bash bench/xvfb_cpu.sh BUILD_DIR [SECONDS]
#
# Prints key=value lines: xvfb_cpu_pct (whole process, both tabs), xvfb_cpu_tab1_pct,
# xvfb_cpu_tab2_pct, xvfb_replies (replies the simulator sent meanwhile).
set -euo pipefail
build=$1
seconds=${2:-30}
work=$(mktemp -d)
sim_pid= xvfb_pid= app_pid=
cleanup() {
    for p in $app_pid $sim_pid $xvfb_pid; do
        kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/ac_sim" --link "$work/port" --log "$work/sim.log" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [[ -e $work/port ]] && break; sleep 0.05; done
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.05; done
export DISPLAY=:$(cat "$work/display") QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$work

# The program beside a settings file that names the simulator's port.
cp "$build/main/AirConTool" "$work/AirConTool"
printf '[ComPort1]\nPort=%s\n' "$work/port" >"$work/ComSetting.ini"
"$work/AirConTool" >"${APP_LOG:-$work/app.out}" 2>&1 &
app_pid=$!
win=
for _ in $(seq 200); do
    win=$(xdotool search --pid "$app_pid" --onlyvisible 2>/dev/null | head -1) && [[ -n $win ]] && break
    sleep 0.05
done
[[ -n $win ]] || { echo "xvfb_error=no window"; exit 1; }
sleep 1
# "打开串口" (grpComm at 8,2; the button at 638,18, 75 x 25), then the first tab.
xdotool mousemove --window "$win" 680 32 click 1
sleep 3

# CPU seconds of the process so far: the scheduler's own account of every thread, in ns.
cpu() { cat /proc/"$app_pid"/task/*/schedstat | awk '{ s += $1 } END { printf "%.6f", s / 1e9 }'; }
# With PERF_OUT set, the first tab's run is recorded by perf into that file.
replies() { grep -c ' reply ' "$work/sim.log" || true; }
measure() { # TAB_X: click the tab, settle, then measure for $seconds
    xdotool mousemove --window "$win" "$1" 142 click 1
    sleep 2
    local c0 t0 c1 t1
    c0=$(cpu) t0=$(date +%s.%N)
    if [[ -n ${PERF_OUT:-} && $1 == 51 ]]; then
        perf record -q -g -o "$PERF_OUT" -p "$app_pid" -- sleep "$seconds" >/dev/null 2>&1
    else
        sleep "$seconds"
    fi
    c1=$(cpu) t1=$(date +%s.%N)
    awk -v a="$c0" -v b="$c1" -v s="$t0" -v e="$t1" 'BEGIN { printf "%.3f", (b - a) / (e - s) * 100 }'
}
r0=$(replies)
tab1=$(measure 51)   # "监控  (空调1)"
tab2=$(measure 135)  # "监控 (空调2)"
r1=$(replies)
echo "xvfb_cpu_tab1_pct=$tab1"
echo "xvfb_cpu_tab2_pct=$tab2"
echo "xvfb_cpu_pct=$(awk -v a="$tab1" -v b="$tab2" 'BEGIN { printf "%.3f", (a + b) / 2 }')"
echo "xvfb_replies=$((r1 - r0))"
echo "xvfb_rss_kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$app_pid/status")"
