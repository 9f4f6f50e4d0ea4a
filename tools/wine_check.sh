#!/bin/bash
# Runs the Windows build's tests under Wine, headless, on a real (pseudo) line:
#   bash tools/wine_check.sh [windows build dir] [linux build dir]
# (defaults build-windows and build; run tools/windows.sh first). The Linux build gives the
# simulator ac_sim and the poller AirConPoll for the end-to-end checks; without them they are
# left out, and said so.
#
# The Wine prefix lives in the Windows build dir and is made once, without any prompt. Two COM
# ports are mapped to the two ends of a pseudo-terminal pair (socat), so the Win32 layer drives a
# line whose far end the tests hold: COM7 is the port under test, COM8 its far end. COM9 is the
# simulator on a pseudo-terminal that vanishes after a few seconds: the hang-up as on Linux. COM6
# is the simulator that AirConPoll.exe reads end to end. COM5 is the port ac_sim.exe serves, the
# Linux poller on the other end of its pseudo-terminal pair.
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."
win=$(realpath -m "${1:-build-windows}")
linux=$(realpath -m "${2:-build}")
[[ -d $win/tests ]] || { echo "wine_check: no Windows build in $win (bash tools/windows.sh)" >&2; exit 2; }
command -v wine >/dev/null || { echo "wine_check: wine is not installed" >&2; exit 2; }
command -v socat >/dev/null || { echo "wine_check: socat is not installed" >&2; exit 2; }

export WINEPREFIX=$win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
line=$win/wine-line
mkdir -p "$line"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "wine_check: making the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    timeout 300 wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
fi

# The line: a pseudo-terminal pair with COM7 on one end and COM8 on the other.
rm -f "$line"/com5 "$line"/com5-far "$line"/com6 "$line"/com7 "$line"/com8 "$line"/com9
socat pty,link="$line/com7",raw,echo=0 pty,link="$line/com8",raw,echo=0 </dev/null >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -e $line/com7 && -e $line/com8 ]] && break; sleep 0.1; done
[[ -e $line/com7 && -e $line/com8 ]] || { echo "wine_check: socat made no line" >&2; exit 1; }

# Both ways Wine knows of a port: the registry of mapped ports and its device links.
map_port() {  # COMn PATH
    wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f >/dev/null 2>&1
    ln -sfn "$2" "$WINEPREFIX/dosdevices/${1,,}"
}
map_port COM7 "$line/com7"
map_port COM8 "$line/com8"
map_port COM9 "$line/com9"
map_port COM6 "$line/com6"
map_port COM5 "$line/com5"
wineserver -k 2>/dev/null || true  # the device map is read again when Wine starts
wineserver -w 2>/dev/null || true
# One server and one set of Wine's own services for every run, started here with their output
# going nowhere: a service started by a test program would keep that program's output open (and
# the server's reports would end up on its standard error, which the end-to-end check reads).
wineserver -p </dev/null >/dev/null 2>&1
wineboot </dev/null >/dev/null 2>&1

failed=()
passed=0
run() {  # NAME COMMAND... : one test program, its summary lines shown
    local name=$1 out rc=0
    shift
    out=$(timeout 600 "$@" 2>&1) || rc=$?
    printf '%s\n' "$out" | grep -E '^\[  (PASSED|FAILED|SKIPPED) ' | sed "s|^|$name: |" || true
    if ((rc != 0)) || grep -q '^\[  FAILED  \]' <<<"$out"; then
        failed+=("$name")
        printf '%s\n' "$out" | grep -E -A12 'Failure|^\[  FAILED' | head -60
    else
        passed=$((passed + 1))
    fi
}

export CPORT_TEST_LINE=COM7,COM8
for exe in "$win"/tests/util/*.exe "$win"/tests/DH/*.exe "$win"/tests/CPort/*.exe "$win"/tests/core/*.exe \
    "$win"/tests/poll_win32/*.exe; do
    run "$(basename "$exe" .exe)" wine "$exe"
done

# The hang-up: the simulator's line vanishes while the port is open.
sim=$linux/tools/sim/ac_sim
[[ -x $sim ]] || sim=$linux/tools/ac_sim
if [[ -x $sim ]]; then
    "$sim" --link "$line/com9" --vanish-after 3 </dev/null >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [[ -e $line/com9 ]] && break; sleep 0.1; done
    CPORT_TEST_VANISHING=COM9 run comport_win32_hangup \
        wine "$win/tests/CPort/comport_win32_test.exe" --gtest_filter='*Vanish*'
else
    echo "wine_check: no simulator in $linux (build the target ac_sim): hang-up not checked"
fi

# End to end: AirConPoll.exe reads the simulator once, and every reading it prints is what the
# simulator sent. The poller's replies are compared with the simulator's log in order (the
# program may end before the reply to its last command): reply kind and unit, readings taken
# from the frame (INFO starts at character 13), parameters and identity.
poller=$win/AirConPoll/AirConPoll.exe
# NAME POLLER SIM DIR RC: the poller's out.jsonl and err.txt in DIR against the simulator's
# sim.log there; RC is the poller's exit status.
compare_replies() {
    local name=$1 pname=$2 sname=$3 dir=$4 rc=$5 i n cid2 unit frame json
    local problems=()
    ((rc == 0)) || problems+=("exit status $rc: $(head -c 2000 "$dir/err.txt")")
    [[ ! -s $dir/err.txt ]] || problems+=("standard error is not empty: $(head -c 2000 "$dir/err.txt")")
    local -a replies lines
    mapfile -t replies < <(sed -n 's/.* reply cid2=\([0-9A-F]*\) rtn=00 unit=\(-\{0,1\}[0-9]*\) .*frame=\(.*\)\\r$/\1 \2 \3/p' "$dir/sim.log")
    mapfile -t lines <"$dir/out.jsonl"
    ((${#lines[@]} >= 10)) || problems+=("only ${#lines[@]} replies printed")
    ((${#lines[@]} <= ${#replies[@]})) || problems+=("${#lines[@]} replies printed, the simulator sent ${#replies[@]}")
    field() { grep -o "\"$2\":[^,}]*" <<<"$1" | head -n 1 | cut -d: -f2-; }
    word() {  # frame, INFO offset, signed?
        local v=$((16#${1:13+2*$2:4}))
        ((${3:-0} && v >= 32768)) && v=$((v - 65536))
        echo "$v"
    }
    byte() { echo $((16#${1:13+2*$2:2})); }
    expect() {  # reply number, key, got, wanted
        [[ $3 == "$4" ]] || problems+=("reply $1 $2: $pname printed '$3', $sname sent '$4'")
    }
    declare -A seen=()
    n=${#lines[@]}
    ((n <= ${#replies[@]})) || n=${#replies[@]}
    for ((i = 0; i < n; i++)); do
        read -r cid2 unit frame <<<"${replies[i]}"
        json=${lines[i]}
        expect "$i" cid2 "$(field "$json" cid2)" "\"0x$cid2\""
        case $cid2 in
        42 | 43 | 44)
            expect "$i" unit "$(field "$json" unit)" $((unit + 1))
            seen["$unit $cid2"]=1
            ;;
        esac
        case $cid2 in
        42)
            expect "$i" voltage_ab "$(field "$json" voltage_ab)" "$(word "$frame" 1)"
            expect "$i" return_air_temp "$(field "$json" return_air_temp)" "$(word "$frame" 15 1)"
            expect "$i" discharge_temp "$(field "$json" discharge_temp)" "$(word "$frame" 28 1)"
            expect "$i" unit_run_time "$(field "$json" unit_run_time)" "$(word "$frame" 36)"
            ;;
        44) expect "$i" phase_loss "$(field "$json" phase_loss)" "$(byte "$frame" 26)" ;;
        47) expect "$i" temp_set_point "$(field "$json" temp_set_point)" 25 ;;
        4F) expect "$i" version "$(field "$json" version)" '"1.0"' ;;
        50) expect "$i" address "$(field "$json" address)" 1 ;;
        51) expect "$i" vendor_name "$(field "$json" vendor_name)" '"Simulated Climate"' ;;
        esac
    done
    ((${#seen[@]} == 6)) || problems+=("0x42, 0x43 and 0x44 of both units: ${#seen[@]} of 6 seen")
    if ((${#problems[@]})); then
        printf '%s --once --json: %s\n' "$pname" "${problems[@]}" | head -40
        failed+=("$name")
    else
        echo "$name: ${#lines[@]} replies as $sname sent them ($dir)"
        passed=$((passed + 1))
    fi
}
e2e() {
    local dir=$win/wine-e2e rc=0
    rm -rf "$dir" "$line/com6"
    mkdir -p "$dir"
    "$sim" --link "$line/com6" --log "$dir/sim.log" </dev/null >"$dir/sim.out" 2>&1 &
    local sim_pid=$!
    pids+=("$sim_pid")
    for _ in $(seq 50); do [[ -e $line/com6 ]] && break; sleep 0.1; done
    timeout 120 wine "$poller" --port COM6 --once --json >"$dir/out.jsonl" 2>"$dir/err.txt" || rc=$?
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    compare_replies airconpoll_once_e2e AirConPoll.exe "the simulator" "$dir" "$rc"
}
if [[ -x $sim && -x $poller ]]; then
    e2e
else
    echo "wine_check: no simulator in $linux or no $poller: AirConPoll.exe not checked end to end"
fi

# The simulator as a Windows program: ac_sim.exe serves COM5, one end of a pseudo-terminal pair
# (as the controller's end of a null-modem cable), and the Linux poller reads the other end once;
# every reading it prints must be what ac_sim.exe logged. Ctrl+C (SIGINT, which Wine hands to the
# program's console handler) ends it with its counts. What needs a pseudo-terminal or a named
# pipe is refused with the option named.
simexe=$win/tools/ac_sim.exe
linpoll=$linux/AirConPoll/AirConPoll
sim_e2e() {
    local dir=$win/wine-sim-e2e rc=0 src=0 problems=()
    rm -rf "$dir"
    mkdir -p "$dir"
    local -a refused=("--link COM5|--link" "--device COM5 --control ctl|--control"
        "--device COM5 --tap tap|--tap" "|--device COMn")
    for c in "${refused[@]}"; do
        local args=${c%|*} want=${c#*|} out code=0
        # shellcheck disable=SC2086 # the words of the command line
        out=$(timeout 60 wine "$simexe" $args 2>&1 </dev/null) || code=$?
        ((code == 2)) && grep -q -- "$want" <<<"$out" ||
            problems+=("ac_sim.exe $args: status $code, wanted 2 and a message naming $want: $out")
    done
    local code=0 out
    out=$(timeout 60 wine "$simexe" --device COM20 2>&1 </dev/null) || code=$?
    ((code == 1)) && grep -q "cannot open 'COM20'" <<<"$out" ||
        problems+=("ac_sim.exe --device COM20 (no such port): status $code, wanted 1 and why: $out")

    rm -f "$line/com5" "$line/com5-far"
    socat pty,link="$line/com5",raw,echo=0 pty,link="$line/com5-far",raw,echo=0 </dev/null >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [[ -e $line/com5 && -e $line/com5-far ]] && break; sleep 0.1; done
    wine "$simexe" --device COM5 --log "$dir/sim.log" </dev/null >"$dir/sim.out" 2>"$dir/sim.err" &
    local sim_pid=$!
    pids+=("$sim_pid")
    for _ in $(seq 150); do grep -q 'on COM5' "$dir/sim.out" 2>/dev/null && break; sleep 0.1; done
    if grep -q 'on COM5' "$dir/sim.out"; then
        timeout 120 "$linpoll" --port "$line/com5-far" --once --json >"$dir/out.jsonl" 2>"$dir/err.txt" || rc=$?
    else
        problems+=("ac_sim.exe did not announce COM5: $(head -c 2000 "$dir/sim.out" "$dir/sim.err")")
        rc=1
    fi
    kill -INT "$sim_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || src=$?
    ((src == 0)) && grep -q '^ac_sim: stopped; commands=' "$dir/sim.out" ||
        problems+=("ac_sim.exe after Ctrl+C: status $src, counts: $(grep stopped "$dir/sim.out")")
    [[ ! -s $dir/sim.err ]] || problems+=("ac_sim.exe wrote to standard error: $(head -c 2000 "$dir/sim.err")")
    if ((${#problems[@]})); then
        printf 'ac_sim.exe: %s\n' "${problems[@]}" | head -20
        failed+=(ac_sim_exe)
    fi
    compare_replies ac_sim_exe_e2e "AirConPoll (Linux)" ac_sim.exe "$dir" "$rc"
}
if [[ -x $simexe && -x $linpoll ]]; then
    sim_e2e
else
    echo "wine_check: no $simexe or no poller in $linux (target AirConPoll): ac_sim.exe not checked"
fi

if ((${#failed[@]})); then
    echo "wine_check: $passed programs passed, ${#failed[@]} failed: ${failed[*]}"
    exit 1
fi
echo "wine_check: $passed programs passed"
