#!/usr/bin/env bash
# Runs every measurement and prints the table of figures with the goal beside each,
# then the fault matrix. Not a test: nothing here runs in the test step.
#
#   bash bench/run.sh            full runs (about 20 minutes on 2 cores)
#   BENCH_QUICK=1 bash bench/run.sh   short runs, for a look at the numbers
#
# Builds what it needs in Release in $BENCH_BUILD_DIR (default build-bench).
# The window runs offscreen against the simulator ac_sim on a pseudo-terminal;
# the start-up time is taken from the real program on a private Xvfb display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BENCH_BUILD_DIR:-build-bench}
[[ $build == /* ]] || build=$root/$build
quick=${BENCH_QUICK:-0}

if ((quick)); then
    idle_s=10 cycles=20 replies=300 soak_n=5000 fault_s=8 startup_runs=5
else
    idle_s=60 cycles=200 replies=1000 soak_n=55000 fault_s=20 startup_runs=11
fi

bash tools/deps.sh >/dev/null
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_GUI=ON -DBUILD_BENCH=ON \
    -DBUILD_TESTING=OFF -DSANITIZE=OFF -DBUILD_FUZZERS=OFF >/dev/null
cmake --build "$build" -j2 --target dh_bench form_probe form_probe_lsan history_probe AirConTool ac_sim \
    AirConPoll >/dev/null
# The start-up probe needs the X11 headers (libx11-dev); without them that row is not measured.
cmake --build "$build" -j2 --target startup_probe >/dev/null 2>&1 ||
    echo "-- no start-up probe (X11 headers missing?): start-up not measured" >&2

work=$(mktemp -d)
sim_pid= xvfb_pid=
master_pid=
cleanup() {
    [[ -n $master_pid ]] && kill "$master_pid" 2>/dev/null && wait "$master_pid" 2>/dev/null
    [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work

log() { echo "-- $*" >&2; }
# The value of key in a file of key=value lines; "n/a" when absent.
val() { local v; v=$(grep -m1 "^$2=" "$1" 2>/dev/null | cut -d= -f2-); echo "${v:-n/a}"; }

# start_sim NAME [ac_sim options]: the simulator behind $work/NAME.port, logging
# every frame to $work/NAME.log.
start_sim() {
    local name=$1
    shift
    rm -f "$work/$name.port"
    "$build/tools/ac_sim" --link "$work/$name.port" --log "$work/$name.log" "$@" \
        >"$work/$name.sim" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do
        [[ -e $work/$name.port ]] && return 0
        sleep 0.05
    done
    echo "ac_sim did not start: $(cat "$work/$name.sim")" >&2
    return 1
}
stop_sim() {
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
}
# probe NAME TIMEOUT ARGS...: runs the window probe, its figures into $work/NAME.out.
probe() {
    local name=$1 limit=$2
    shift 2
    local rc=0
    timeout "$limit" "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
    echo "exit=$rc" >>"$work/$name.out"
}

# Aligned columns when column(1) is there, tab-separated otherwise.
table() { if command -v column >/dev/null; then column -t -s'|'; else tr '|' '\t'; fi; }

rows=()
# row FIGURE MEASURED GOAL VERDICT
row() { rows+=("$1|$2|$3|$4"); }
# le A B: "meets" when the number A is at most B.
le() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "n/a" || a == "" || a+0 != a) print "NOT MEASURED"; else print (a <= b ? "meets" : "MISSES") }'; }
eq() { [[ $1 == "$2" ]] && echo meets || echo MISSES; }
fmt() { awk -v a="$1" -v p="${2:-2}" 'BEGIN { if (a+0 == a) printf "%.*f", p, a; else print a }'; }

# 5. Codec throughput against its baseline.
log "codec benchmark"
"$build/bench/dh_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv >"$work/dh.csv" 2>/dev/null
csv() { awk -F, -v n="\"$1_median\"" -v c="$2" '$1 == n { print $c }' "$work/dh.csv"; }
codec_ms=$(csv BM_CodecReceive 3) base_ms=$(csv BM_Baseline 3)
codec_mbs=$(awk -v b="$(csv BM_CodecReceive 6)" 'BEGIN { printf "%.0f", b / 1e6 }')
base_mbs=$(awk -v b="$(csv BM_Baseline 6)" 'BEGIN { printf "%.0f", b / 1e6 }')
ratio=$(awk -v a="$codec_ms" -v b="$base_ms" 'BEGIN { printf "%.2f", a / b }')

# 1, 2 and 4 (memory while polling). The simulator paces its replies as a 9600 bit/s line.
log "idle cost and poll time-line: ${idle_s}s measured, $cycles poll cycles"
start_sim poll
probe poll $((cycles * 3 / 2 + idle_s + 120)) "$build/bench/form_probe" poll \
    --port "$work/poll.port" --sim-log "$work/poll.log" --seconds "$idle_s" --cycles "$cycles"
stop_sim
P=$work/poll.out

# 11. CPU while listening: the window on the simulator's tap while AirConPoll is the
# master at the window's own defaults (poll 500 ms, reply time-out 350 ms), against the
# window polling the same line itself (row 1).
log "listening: ${idle_s}s on the tap while AirConPoll polls"
start_sim listen --tap "$work/listen.tap"
"$build/AirConPoll/AirConPoll" --port "$work/listen.port" --json --interval 500 --timeout 350 \
    >/dev/null 2>"$work/listen.master" &
master_pid=$!
probe listen $((idle_s + 120)) "$build/bench/form_probe" listen \
    --port "$work/listen.tap" --sim-log "$work/listen.log" --seconds "$idle_s"
kill -TERM "$master_pid" 2>/dev/null || true
wait "$master_pid" 2>/dev/null || true
master_pid=
stop_sim
T=$work/listen.out
# Bytes that came from the tap, as the simulator counted them on leaving.
tap_sent=$(grep -o 'tap_sent=[0-9]*' "$work/listen.sim" | cut -d= -f2 || true)

# 7. The link view's cost: traffic log shown and written to a file, against none,
# alternating phases in one run.
log "link view: ${idle_s}s with the traffic log shown and written, ${idle_s}s without"
start_sim linkview
probe linkview $((idle_s * 3 + 120)) "$build/bench/form_probe" linkview \
    --port "$work/linkview.port" --sim-log "$work/linkview.log" --seconds "$idle_s"
stop_sim
L=$work/linkview.out

# 3. Reply to screen, whole replies written at once.
log "reply to screen: $replies replies"
probe reply 600 "$build/bench/form_probe" reply --replies "$replies"
R=$work/reply.out

# 4. Start-up of the real program on a display of its own.
log "start-up: $startup_runs runs on Xvfb"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ -s $work/display ]] && break
    sleep 0.05
done
[[ -x $build/bench/startup_probe ]] && (cd "$work" && DISPLAY=:$(cat "$work/display") QT_QPA_PLATFORM=xcb \
    "$build/bench/startup_probe" "$build/main/AirConTool" "$startup_runs") \
    >"$work/startup.out" 2>"$work/startup.err" || true
kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
xvfb_pid=
S=$work/startup.out

# 1 on a display: the real program on Xvfb (xcb), link open against ac_sim, each
# monitor tab visible in turn for $idle_s seconds.
log "CPU on an X display: ${idle_s}s per monitor tab on Xvfb"
bash "$root/bench/xvfb_cpu.sh" "$build" "$idle_s" >"$work/xvfb.out" 2>"$work/xvfb.err" || true
X=$work/xvfb.out

# 8. The trend history's bound on a large recording with and without lost-row markers.
log "trend history: a recording of 60,000 rows read with and without a marker after each"
"$build/bench/history_probe" >"$work/history.out" 2>"$work/history.err" || true
H=$work/history.out

# 6. The long compressed run under LeakSanitizer.
log "long run: $soak_n commands at 5 ms under LeakSanitizer, the trend history full from the start"
start_sim soak --no-pace --turnaround 1
LSAN_OPTIONS=exitcode=23 probe soak $((soak_n / 100 + 300)) "$build/bench/form_probe_lsan" soak \
    --port "$work/soak.port" --sim-log "$work/soak.log" --commands "$soak_n" --interval 5 \
    --timeout 2
stop_sim
K=$work/soak.out
soak_leaks=$(grep -c "LeakSanitizer" "$work/soak.err" || true)
# The same run on the allocator the program ships with, for the memory figures: the
# sanitizer's allocator keeps freed memory in its size classes, and its resident size
# grows by some 2 MB over 50,000 commands with no more memory in use.
log "long run: $soak_n commands at 5 ms, for the resident memory"
start_sim soakmem --no-pace --turnaround 1
probe soakmem $((soak_n / 100 + 300)) "$build/bench/form_probe" soak \
    --port "$work/soakmem.port" --sim-log "$work/soakmem.log" --commands "$soak_n" --interval 5 \
    --timeout 2
stop_sim
M=$work/soakmem.out

# Fault matrix: each fault for a bounded time with the default poll settings.
faults=(
    "drops|--drop 0.3"
    "late replies|--delay 0.3"
    "corrupt checksums|--corrupt 0.3"
    "noise|--noise 0.5"
    "stray ~|--stray 0.5"
    "byte by byte|--split 1 --split-max 1 --split-gap 2"
    "RTN errors|--rtn 2 --rtn-rate 0.3"
    "vanish and return|--vanish-after 6 --back-after 2"
    "all mixed|--drop 0.1 --delay 0.1 --corrupt 0.1 --noise 0.2 --stray 0.2 --split 0.2"
)
fault_rows=()
i=0
for f in "${faults[@]}"; do
    name=${f%%|*} opts=${f#*|}
    i=$((i + 1))
    log "fault: $name (${fault_s}s)"
    # shellcheck disable=SC2086
    start_sim "fault$i" --seed "$i" $opts
    probe "fault$i" $((fault_s + 60)) "$build/bench/form_probe" faults --port "$work/fault$i.port" \
        --sim-log "$work/fault$i.log" --seconds "$fault_s"
    stop_sim
    F=$work/fault$i.out
    ok=yes
    [[ $(val "$F" exit) == 0 ]] || ok=no
    [[ $(val "$F" fault_missing) == 0 ]] || ok=no
    [[ $(val "$F" fault_open_at_end) == 1 ]] || ok=no
    (($(val "$F" fault_max_queue) <= 2)) 2>/dev/null || ok=no
    awk -v s="$(val "$F" fault_max_stall_ms)" 'BEGIN { exit !(s + 0 == s && s < 1000) }' || ok=no
    fault_rows+=("$name|$opts|$(val "$F" exit)|$(val "$F" fault_sim_commands)|$(val "$F" fault_intact_decoded)/$(val "$F" fault_intact)|$(val "$F" fault_missing_at_vanish)|$(val "$F" fault_error_frames)|$(val "$F" fault_max_queue)|$(fmt "$(val "$F" fault_max_stall_ms)" 0)|$(val "$F" fault_closes)/$(val "$F" fault_reopens)|$ok")
done

# ---- the table ---------------------------------------------------------------
row "1 idle CPU, window polling ${idle_s}s (defaults, 9600 bit/s line)" \
    "$(fmt "$(val "$P" idle_cpu_pct)" 3) %" "<= 0.5 % of one core" "$(le "$(val "$P" idle_cpu_pct)" 0.5)"
row "1 idle CPU by thread: main (window) / serial event thread" \
    "$(fmt "$(val "$P" idle_cpu_main_pct)" 3) / $(fmt "$(val "$P" idle_cpu_event_pct)" 3) %" \
    "(shown for reference)" "-"
row "1 CPU on Xvfb (xcb), link open, tab 1 / tab 2 each ${idle_s}s" \
    "$(fmt "$(val "$X" xvfb_cpu_pct)" 3) % ($(fmt "$(val "$X" xvfb_cpu_tab1_pct)" 3) / $(fmt "$(val "$X" xvfb_cpu_tab2_pct)" 3))" \
    "<= 0.5 % of one core" "$(le "$(val "$X" xvfb_cpu_pct)" 0.5)"
row "1 main-thread wakes per second while polling (preemptions besides)" \
    "$(fmt "$(val "$P" main_thread_wakes_per_s)" 1) ($(val "$P" main_thread_preemptions))" \
    "(shown for reference: the poll cycle needs 6.7)" "-"
row "1 event-thread wakes, link open and quiet 5 s" "$(val "$P" quiet_event_thread_wakes)" \
    "0" "$(eq "$(val "$P" quiet_event_thread_wakes)" 0)"
row "1 event-thread switches per received block (polling)" \
    "$(awk -v w="$(val "$P" event_thread_wakes)" -v b="$(val "$P" rx_blocks)" 'BEGIN { if (b > 0) printf "%.1f (%d/%d)", w / b, w, b; else print "n/a" }')" \
    "(shown for reference)" "-"
row "2 poll send time deviation p99, $(val "$P" poll_cycles) cycles" \
    "$(fmt "$(val "$P" poll_dev_p99_ms)" 1) ms (max $(fmt "$(val "$P" poll_dev_max_ms)" 1))" \
    "<= 5 ms" "$(le "$(val "$P" poll_dev_p99_ms)" 5)"
row "2 where it comes from: send timer late p99 / send tick p99 (ticks over 2 ms)" \
    "$(fmt "$(val "$P" send_timer_late_p99_ms)" 1) / $(fmt "$(val "$P" send_tick_p99_ms)" 1) ms ($(val "$P" send_tick_over_2ms) of $(val "$P" send_ticks))" \
    "(shown for reference)" "-"
row "2 poll commands out of order (0x42, 0x43, 0x44)" "$(val "$P" poll_order_errors)" "0" \
    "$(eq "$(val "$P" poll_order_errors)" 0)"
row "3 reply to label, median ($(val "$R" reply_count) replies)" \
    "$(fmt "$(val "$R" reply_p50_ms)" 3) ms" "<= 1 ms" "$(le "$(val "$R" reply_p50_ms)" 1)"
row "3 reply to label, p99" "$(fmt "$(val "$R" reply_p99_ms)" 3) ms (max $(fmt "$(val "$R" reply_max_ms)" 1))" \
    "<= 5 ms" "$(le "$(val "$R" reply_p99_ms)" 5)"
row "4 start-up to window shown, median of $(val "$S" startup_runs)" \
    "$(fmt "$(val "$S" startup_median_ms)" 0) ms" "<= 300 ms" "$(le "$(val "$S" startup_median_ms)" 300)"
rss_start=$(val "$S" window_rss_kb) rss_poll=$(val "$P" rss_kb_polling)
row "4 resident memory: window after start / polling" \
    "$(fmt "$(awk -v k="$rss_start" 'BEGIN { print k / 1024 }')" 1) / $(fmt "$(awk -v k="$rss_poll" 'BEGIN { print k / 1024 }')" 1) MB" \
    "<= 60 MB" "$(le "$(awk -v a="$rss_start" -v b="$rss_poll" 'BEGIN { print (a > b ? a : b) / 1024 }')" 60)"
row "5 codec receive: ${codec_mbs} MB/s; baseline ${base_mbs} MB/s" \
    "time ratio ${ratio}" "<= 2.00" "$(le "$ratio" 2)"
row "6 long run: commands sent / replies decoded / sim replies" \
    "$(val "$K" soak_sent) / $(val "$K" soak_dispatched) / $(val "$K" soak_sim_intact_replies)" \
    ">= $soak_n, all decoded" \
    "$([[ $(val "$K" soak_sent) -ge $soak_n && $(val "$K" soak_dispatched) == "$(val "$K" soak_sim_intact_replies)" && $(val "$K" soak_error_frames) == 0 ]] 2>/dev/null && echo meets || echo MISSES)"
row "6 long run: leaks / exit status" "$soak_leaks / $(val "$K" exit)" "0 / 0" \
    "$([[ $soak_leaks == 0 && $(val "$K" exit) == 0 ]] && echo meets || echo MISSES)"
# The trend history starts full (the probe fills it as 16 hours of polling would) and the
# traffic log's ring is full at the baseline: from there on every bounded store holds its
# ceiling, and what the resident size gains would be a leak or a store without a bound.
soak_measured=$(awk -v a="$(val "$M" soak_sent)" -v b="$(val "$M" soak_baseline_command)" \
    'BEGIN { if (a+0 != a || b+0 != b) print "n/a"; else print a - b }')
row "6 long run: resident memory growth once every bounded store is full, over the last $soak_measured commands (glibc)" \
    "$(val "$M" soak_rss_growth_from_baseline_kb) kB" "<= 1024 kB over 50,000" \
    "$(le "$(val "$M" soak_rss_growth_from_baseline_kb)" 1024)"
row "6 where it goes: bounded stores (log ring, trend history) / the rest; the stores hold" \
    "$(val "$M" soak_stores_growth_kb) / $(val "$M" soak_unbounded_growth_kb) kB; $(val "$M" soak_stores_kb_end) kB" \
    "(shown for reference)" "-"
row "6 long run: heap in use, growth over the same commands" \
    "$(val "$M" soak_heap_growth_from_baseline_kb) kB" "(shown for reference)" "-"
row "6 long run: resident memory growth from command 1000 (stores filling)" \
    "$(val "$M" soak_rss_growth_kb) kB" "(shown for reference)" "-"

row "7 link view: CPU with the traffic log shown and its file written, minus without" \
    "$(fmt "$(val "$L" lv_cpu_delta_pct)" 3) % ($(fmt "$(val "$L" lv_cpu_on_pct)" 3) - $(fmt "$(val "$L" lv_cpu_off_pct)" 3))" \
    "<= 0.1 % of one core" "$(le "$(val "$L" lv_cpu_delta_pct)" 0.1)"
row "7 link view: poll gap deviation p99 with / without" \
    "$(fmt "$(val "$L" lv_gap_dev_p99_on_ms)" 1) / $(fmt "$(val "$L" lv_gap_dev_p99_off_ms)" 1) ms" \
    "<= 5 ms" "$(le "$(val "$L" lv_gap_dev_p99_on_ms)" 5)"
row "11 CPU, window listening on the tap while AirConPoll polls / window polling (row 1)" \
    "$(fmt "$(val "$T" listen_cpu_pct)" 3) % / $(fmt "$(val "$P" idle_cpu_pct)" 3) % ($(val "$T" listen_commands) commands, $(val "$T" listen_decoded) decoded, ${tap_sent:-n/a} bytes from the tap)" \
    "listening <= polling; 0 bytes" \
    "$(if [[ ${tap_sent:-n/a} != 0 ]]; then echo MISSES; else le "$(val "$T" listen_cpu_pct)" "$(val "$P" idle_cpu_pct)"; fi)"
# Reading time per MB of file: the markers double the rows, not the cost of a row.
hist_ratio=$(awk -v a="$(val "$H" history_markers_ms)" -v am="$(val "$H" history_markers_mb)" \
    -v b="$(val "$H" history_plain_ms)" -v bm="$(val "$H" history_plain_mb)" \
    'BEGIN { if (a+0 != a || b+0 != b || b == 0) print "n/a"; else printf "%.2f", (a / am) / (b / bm) }')
row "8 trend history: 60,000 rows read with a lost-row marker after each / without (ms; MB)" \
    "$(val "$H" history_markers_ms) / $(val "$H" history_plain_ms) ms; $(val "$H" history_markers_mb) / $(val "$H" history_plain_mb) MB" \
    "per MB <= 1.5 x" "$(le "$hist_ratio" 1.5) ($hist_ratio)"
row "8 trend history: points of the longest series / bound, with markers" \
    "$(val "$H" history_markers_points) / $(val "$H" history_bound)" "<= bound" \
    "$(le "$(val "$H" history_markers_points)" "$(val "$H" history_bound)")"
# 9. A full scan: 256 addresses at 9600 bit/s against three controllers on the simulator.
log "scan: 256 addresses at 9600 bit/s"
scan_line=$(BENCH_BUILD_DIR=$build bash bench/scan_full.sh 2>/dev/null || true)
scan_s=$(sed -n 's/.*: \([0-9.]*\) s (floor.*/\1/p' <<<"$scan_line")
row "9 scan of 256 addresses at 9600 bit/s, 50 ms margin (3 controllers on the line)" \
    "${scan_line#*: }" "<= 30 s" "$(le "${scan_s:-n/a}" 30)"
# 10. A poller with 8 controllers on one line with faults.
log "fleet: 8 controllers on one line, ${FLEET_BENCH_S:=$((quick ? 120 : 600))}s"
fleet_line=$(FLEET_BENCH_S=$FLEET_BENCH_S bash bench/fleet_bench.sh "$build" 2>/dev/null || true)
row "10 AirConPoll, 8 controllers on one line with faults" \
    "$(sed 's/^| [^|]*| //; s/ |$//; s/ | /; /g' <<<"${fleet_line:-n/a}")" "CPU < 0.3 %; RSS growth <= 512 kB" \
    "$(if [[ -z $fleet_line ]]; then echo "NOT MEASURED"; elif grep -q MISSED <<<"$fleet_line"; then echo MISSES; else echo meets; fi)"
echo
echo "Figures ($( ((quick)) && echo "QUICK runs, shorter than the goals ask" || echo "full runs"); $(nproc) cores; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
{
    echo "Figure|Measured|Goal|Verdict"
    printf '%s\n' "${rows[@]}"
} | table
echo
echo "Fault matrix (${fault_s}s each, poll 500 ms, reply time-out 350 ms)"
{
    echo "Fault|ac_sim options|exit|commands|intact decoded|lost at vanish|error frames|max queue|max loop gap ms (20 ms beat)|closes/reopens|ok"
    printf '%s\n' "${fault_rows[@]}"
} | table
