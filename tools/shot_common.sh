# The start-up and clean-up shared by the README's screenshot scripts (tools/*_shot.sh),
# sourced by each after `set -euo pipefail`: the build the programs come from (the script's
# first argument, else build/ in the checkout), a work folder, the simulator, the poller and
# the window started in the background; when the script ends, however it ends, they are
# stopped, every settings file it changed beside the program is put back and the work
# folder goes.
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
pids=()
kept=()

shot_cleanup() {
    local i
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for i in "${!kept[@]}"; do
        if [[ -e $work/kept.$i ]]; then cp "$work/kept.$i" "${kept[$i]}"; else rm -f "${kept[$i]}"; fi
    done
    rm -rf "$work"
}
trap shot_cleanup EXIT

# Keeps FILE (a settings file beside the program) as it is now, to put it back when the
# script ends; a file that was not there is removed then. A file kept already stays as it
# was kept first.
keep_file() {
    local k
    for k in "${kept[@]}"; do [[ $k == "$1" ]] && return 0; done
    [[ -e $1 ]] && cp "$1" "$work/kept.${#kept[@]}"
    kept+=("$1")
}

# Starts the simulator on the link $work/port with ARGS and waits until the link and every
# other path in $work that ARGS name (a control pipe, a tap) are there.
start_sim() {
    "$build/tools/ac_sim" --link "$work/port" "$@" >"$work/sim.out" 2>&1 &
    pids+=($!)
    local want=("$work/port") a missing
    for a in "$@"; do [[ $a == "$work"/* ]] && want+=("$a"); done
    for _ in $(seq 100); do
        missing=0
        for a in "${want[@]}"; do [[ -e $a ]] || missing=1; done
        ((missing)) || return 0
        sleep 0.05
    done
    echo "${0##*/}: the simulator did not make ${want[*]}:" >&2
    cat "$work/sim.out" >&2
    exit 1
}

# Writes one command to the simulator's control pipe $work/control.
control() {
    echo "$*" >"$work/control"
    sleep 0.1
}

# Starts the poller with ARGS, its output in $work/poll.out.
start_poller() {
    "$build/AirConPoll/AirConPoll" "$@" >"$work/poll.out" 2>&1 &
    pids+=($!)
}

# Starts the window with ARGS and waits until it shows; its window id in $wid. The
# settings files it writes beside the program are put back when the script ends.
start_window() {
    keep_file "$build/main/ComSetting.ini"
    keep_file "$build/main/Recording.ini"
    "$build/main/AirConTool" "$@" >"$work/app.out" 2>&1 &
    pids+=($!)
    wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "$!" | head -1)
    sleep 1
}

# The window's port for its next start, in its settings file beside the program; the file
# there is put back when the script ends.
window_port() {
    local settings=$build/main/ComSetting.ini
    keep_file "$settings"
    printf '[ComPort1]\nPort=%s\n' "$1" >"$settings"
}

# Clicks "打开串口" in the window.
open_port() {
    xdotool mousemove --window "$wid" 683 32 click 1
}

# Takes the picture of WINDOW (an X window id, or root) as docs/NAME.
shot() {
    mkdir -p "$root/docs"
    import -window "$1" "$root/docs/$2"
}
