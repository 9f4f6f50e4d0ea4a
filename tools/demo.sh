#!/usr/bin/env bash
# The demo: the controller simulator (ac_sim) on a virtual serial port, that
# port stored as the window's port in its settings file, and the window.
#
# With a display the window opens and waits: click "打开串口" and both unit
# panels fill. Without a display (or with --headless) the window runs under
# Xvfb, the button is clicked for you, and after a few poll cycles screenshots
# of the two monitor tabs and of the traffic log are saved and their paths printed.
#
#   tools/demo.sh [--build DIR] [--headless] [--shots DIR] [-- AC_SIM_OPTION...]
#
# Options after "--" go to the simulator, e.g. "-- --noise 0.2 --drop 0.1"
# (see build/tools/ac_sim --help). Assumes a finished build (tools/run.sh
# builds first and then runs this).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
headless=auto
shots=
sim_args=()
x_session=0

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }
while (($#)); do
    case $1 in
        --build) build=$(cd "${2:?--build needs a folder}" && pwd); shift 2 ;;
        --headless) headless=yes; shift ;;
        --shots) shots=${2:?--shots needs a folder}; shift 2 ;;
        --x-session) x_session=1; shift ;;  # internal: the part that runs under Xvfb
        -h | --help) usage; exit 0 ;;
        --) shift; sim_args=("$@"); break ;;
        *) echo "demo.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
    esac
done

sim=$build/tools/ac_sim
app=$build/main/AirConTool
work=$build/demo
link=$work/ttyACSIM0
log=$work/ac_sim.log
settings=$build/main/ComSetting.ini
shots=${shots:-$work/screenshots}

# Design position of "打开串口" in the window: group at (8, 2), button at
# (638, 18) inside it, 75 x 25; the centre of the button.
open_x=$((8 + 638 + 37)) open_y=$((2 + 18 + 12))
# The second tab of the page control (at (8, 129)), as the window renders it.
tab1_x=50 tab1_y=141 tab2_x=137 tab2_y=141
# "通讯记录" at the right end of the link bar under the designed area, and a row
# of the traffic log once it has opened below.
log_x=775 log_y=726 row_x=200 row_y=$((714 + 150))

replies() { grep -c ' reply ' "$log" 2>/dev/null || true; }

wait_until() {  # wait_until SECONDS COMMAND...: true once COMMAND succeeds
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.2
    done
}

# Runs under Xvfb: the window, the click, the screenshots.
x_session() {
    local app_pid wid
    "$app" >"$work/AirConTool.out" 2>&1 &
    app_pid=$!
    # shellcheck disable=SC2064
    trap "kill $app_pid 2>/dev/null || true; wait $app_pid 2>/dev/null || true" EXIT
    wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "$app_pid" 2>/dev/null | head -1) || true
    if [[ -z $wid ]]; then
        echo "demo.sh: the window did not appear:" >&2
        cat "$work/AirConTool.out" >&2
        return 1
    fi
    sleep 1  # let it paint once before the click
    local before
    before=$(replies)
    xdotool mousemove --window "$wid" "$open_x" "$open_y" click 1
    if ! wait_until 10 bash -c "(( \$(grep -c ' command ' '$log') > 0 ))"; then
        echo "demo.sh: the click on 打开串口 opened no link (no command reached the simulator)" >&2
        return 1
    fi
    # Four poll cycles: every command twice for each unit.
    wait_until 30 bash -c "(( \$(grep -c ' reply ' '$log') >= $before + 12 ))" ||
        echo "demo.sh: fewer replies than expected; the screenshots may be incomplete" >&2
    sleep 0.5
    mkdir -p "$shots"
    import -window "$wid" "$shots/monitor-unit1.png"
    xdotool mousemove --window "$wid" "$tab2_x" "$tab2_y" click 1
    sleep 0.8
    import -window "$wid" "$shots/monitor-unit2.png"
    if cmp -s "$shots/monitor-unit1.png" "$shots/monitor-unit2.png"; then
        echo "demo.sh: the second tab did not come up; both screenshots show the first" >&2
    fi
    # The traffic log, a row taken apart.
    xdotool mousemove --window "$wid" "$tab1_x" "$tab1_y" click 1
    xdotool mousemove --window "$wid" "$log_x" "$log_y" click 1
    sleep 2.5
    xdotool mousemove --window "$wid" "$row_x" "$row_y" click 1
    sleep 0.5
    import -window "$wid" "$shots/traffic-log.png"
    echo "Screenshots:"
    echo "  $shots/monitor-unit1.png"
    echo "  $shots/monitor-unit2.png"
    echo "  $shots/traffic-log.png"
}

if ((x_session)); then
    x_session
    exit
fi

for f in "$sim" "$app"; do
    if [[ ! -x $f ]]; then
        echo "demo.sh: $f is missing; build first (bash tools/run.sh)" >&2
        exit 1
    fi
done
mkdir -p "$work"

# Sets Port= in the [ComPort1] section of the settings file, keeping the rest.
set_port() {
    local file=$1 port=$2 tmp
    tmp=$(mktemp "$file.XXXXXX")
    if [[ -f $file ]]; then
        awk -v port="$port" '
            function put() { printf "Port=%s%s\n", port, eol; done = 1 }
            { eol = ($0 ~ /\r$/) ? "\r" : "" }
            /^[ \t]*\[.*\][ \t\r]*$/ {
                if (in_sec && !done) put()
                in_sec = (tolower($0) ~ /^[ \t]*\[comport1\]/)
                print; next
            }
            in_sec && /^[ \t]*[Pp][Oo][Rr][Tt][ \t]*=/ { if (!done) put(); next }
            { print }
            END { if (!done) { if (!in_sec) print "[ComPort1]"; put() } }' "$file" >"$tmp"
    else
        printf '[ComPort1]\nPort=%s\n' "$port" >"$tmp"
    fi
    mv "$tmp" "$file"
}

sim_pid=
cleanup() {
    if [[ -n $sim_pid ]] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid"
        wait "$sim_pid" 2>/dev/null || true
    fi
    [[ -f $work/ac_sim.out ]] && grep -h 'stopped' "$work/ac_sim.out" || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -f "$log"
"$sim" --link "$link" --log "$log" "${sim_args[@]}" >"$work/ac_sim.out" 2>&1 &
sim_pid=$!
if ! wait_until 10 test -L "$link"; then
    echo "demo.sh: the simulator did not start:" >&2
    cat "$work/ac_sim.out" >&2
    exit 1
fi
cat "$work/ac_sim.out"
set_port "$settings" "$link"
echo "Settings: $settings now stores Port=$link"
echo "Simulator log: $log"

has_display() { [[ -n ${DISPLAY:-} ]] && xdotool getdisplaygeometry >/dev/null 2>&1; }
if [[ $headless != yes ]] && has_display; then
    echo "Starting the window: click 打开串口 to see both unit panels fill."
    "$app" || true
else
    echo "No display: running the window under Xvfb and clicking 打开串口 by itself."
    xvfb-run -a -s "-screen 0 1024x1200x24" bash "$0" --x-session --build "$build" --shots "$shots"
fi
