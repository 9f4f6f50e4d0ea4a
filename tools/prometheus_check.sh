#!/usr/bin/env bash
# AirConPoll against the real engine: Debian's Prometheus node exporter reads the poller's
# metrics file through its textfile collector, and its /metrics page must show the
# simulator's values; aircon_up must fall to 0 while the simulator drops every reply and
# come back to 1 after.
#
#   bash tools/prometheus_check.sh [BUILD_DIR]      (default: build)
#
# Installs prometheus-node-exporter and curl when missing (apt-get), builds AirConPoll and
# ac_sim, and starts its own node exporter on a free loopback port with only the textfile
# collector, reading a temporary folder; the Debian service is left alone (and never
# started). The metrics file is laid out as the systemd unit lays it out: the poller writes
# its own file, and the textfile folder holds a symbolic link to it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build}

say() { printf 'prometheus_check: %s\n' "$*"; }
fail() {
    printf 'prometheus_check: FAILED: %s\n' "$*" >&2
    for f in "$tmp"/*.log "$tmp"/*.err; do
        [[ -s $f ]] || continue
        printf -- '--- %s (last lines)\n' "$(basename "$f")" >&2
        tail -n 15 "$f" >&2
    done
    exit 1
}

# --- what it needs
need=()
command -v prometheus-node-exporter >/dev/null || need+=(prometheus-node-exporter)
command -v curl >/dev/null || need+=(curl)
if ((${#need[@]})); then
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    say "installing ${need[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    # The package starts its service where there is a service manager: our own instance
    # below never uses the default port, so the two do not meet.
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${need[@]}" >/dev/null
fi
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target AirConPoll ac_sim >/dev/null
poller=$root/$build/AirConPoll/AirConPoll
sim=$root/$build/tools/ac_sim
[[ -x $poller && -x $sim ]] || fail "AirConPoll or ac_sim was not built in $build"

# --- the scene
tmp=$(mktemp -d /tmp/prometheus-check-XXXXXX)
chmod 755 "$tmp"
mkdir -m 755 "$tmp/textfile" "$tmp/run"
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT

# --- the unit, as systemd reads it (with this build's program in place of /usr/bin's)
if command -v systemd-analyze >/dev/null; then
    unit=$tmp/AirConPoll@ttyAC0.service
    sed "s|/usr/bin/AirConPoll|$poller|" packaging/systemd/AirConPoll@.service >"$unit"
    systemd-analyze verify --man=no "$unit" >"$tmp/verify.log" 2>&1 || {
        cat "$tmp/verify.log" >&2
        fail "systemd-analyze verify finds fault with AirConPoll@.service"
    }
    ! grep -q . "$tmp/verify.log" || { cat "$tmp/verify.log" >&2; fail "systemd-analyze verify warns"; }
    rm "$unit"
    say "systemd-analyze verify: AirConPoll@.service is sound"
fi

link=$tmp/ttyAC0
metrics_file=$tmp/run/ttyAC0.prom
ln -s "$metrics_file" "$tmp/textfile/airconpoll-ttyAC0.prom"

# The node exporter as the unprivileged user it runs as on a site, when we can.
as_exporter=()
if [[ $(id -u) -eq 0 ]] && id prometheus >/dev/null 2>&1; then
    as_exporter=(setpriv --reuid=prometheus --regid=prometheus --clear-groups)
fi
"${as_exporter[@]}" prometheus-node-exporter --web.listen-address=127.0.0.1:0 \
    --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$tmp/textfile" >"$tmp/exporter.log" 2>&1 &
pids+=($!)
address=
for _ in $(seq 100); do
    address=$(sed -n 's/.*msg="Listening on" address=\([0-9.:]*\).*/\1/p' "$tmp/exporter.log" | head -n 1)
    [[ -n $address ]] && break
    sleep 0.1
done
[[ -n $address ]] || fail "the node exporter did not start"
say "node exporter on $address, textfile folder $tmp/textfile"

# A vendor name with a double quote and a backslash: the label must survive both parsers.
vendor_name='Site "7" \ AC'
start_sim() {
    "$sim" --link "$link" --log "$tmp/sim.log" --hour-seconds 86400 --name "$vendor_name" "$@" \
        >>"$tmp/sim.out" 2>>"$tmp/sim.err" &
    sim_pid=$!
    pids+=("$sim_pid")
    for _ in $(seq 100); do
        [[ -L $link ]] && return 0
        sleep 0.1
    done
    fail "the simulator did not start"
}
stop_sim() {
    kill "$sim_pid"
    wait "$sim_pid" 2>/dev/null || true
}

page=
scrape() { page=$(curl -fsS --max-time 5 "http://$address/metrics") || page=; }
# The value of one sample of the page, e.g. value 'aircon_up{port="..."}'.
value() { awk -v k="$1" 'index($0, k " ") == 1 { print substr($0, length(k) + 2) }' <<<"$page"; }
port_label="port=\"$link\""
# Waits up to $1 seconds until the sample $2 has the value $3.
wait_value() {
    local limit=$1 key=$2 want=$3 i
    for ((i = 0; i < limit * 5; i++)); do
        scrape
        [[ $(value "$key") == "$want" ]] && return 0
        sleep 0.2
    done
    fail "$key is '$(value "$key")' after ${limit}s, not '$want'"
}
expect() {
    local key=$1 want=$2 got
    got=$(value "$key")
    [[ $got == "$want" ]] || fail "$key is '$got', the simulator's is '$want'"
}

# --- the simulator's values on the node exporter's page
start_sim
"$poller" --port "$link" --textfile "$metrics_file" >"$tmp/poller.out" 2>"$tmp/poller.err" &
pids+=($!)
wait_value 60 "aircon_up{$port_label}" 1
wait_value 30 "aircon_port_open{$port_label}" 1
# Both units and the identity in: a few cycles.
for _ in $(seq 150); do
    scrape
    if [[ -n $(value "aircon_analog{name=\"voltage_ab\",$port_label,unit=\"2\"}") &&
        -n $(value "aircon_analog{name=\"voltage_ab\",$port_label,unit=\"1\"}") &&
        $page == *aircon_info* && $page == *aircon_parameter* ]]; then
        break
    fi
    sleep 0.2
done
[[ $page == *aircon_info* ]] || fail "no aircon_info on the page"

grep -q '^# TYPE aircon_commands_total counter$' <<<"$page" || fail "aircon_commands_total is no counter"
grep -q '^# TYPE aircon_analog gauge$' <<<"$page" || fail "aircon_analog is no gauge"
grep -q '^node_textfile_scrape_error 0$' <<<"$page" || fail "the textfile collector reports an error"

# Identity: the texts of 0x4F, 0x50, 0x51, the name escaped as the format requires.
info='aircon_info{address="1",name="Site \"7\" \\ AC",port="'"$link"'",software="V1.0.3 2026-12-01",vendor="Simulated Climate",version="1.0"}'
grep -qF "$info 1" <<<"$page" || fail "aircon_info is not $info: $(grep '^aircon_info' <<<"$page")"

# Parameters: the simulator's defaults.
declare -A params=([on_temp]=28 [off_temp]=22 [return_air_temp_high]=35 [return_air_temp_low]=5
    [return_air_humidity_high]=80 [return_air_humidity_low]=30 [temp_set_point]=25 [run_mode]=1
    [indoor_fan_speed]=3 [swing]=0 [local_lock]=0 [backup_switch_time]=24 [joint_start_temp]=30
    [heating_mode_temp]=20 [cooling_precision]=2 [heating_precision]=2)
for name in "${!params[@]}"; do
    expect "aircon_parameter{name=\"$name\",$port_label}" "${params[$name]}"
done
# Running hours stand still at one counted hour per simulated day.
expect "aircon_analog{name=\"compressor_run_time\",$port_label,unit=\"1\"}" 10456
expect "aircon_analog{name=\"unit_run_time\",$port_label,unit=\"1\"}" 12873
expect "aircon_analog{name=\"compressor_run_time\",$port_label,unit=\"2\"}" 7311
expect "aircon_analog{name=\"unit_run_time\",$port_label,unit=\"2\"}" 9021
# Sensors the simulator reports as not detected are left out.
for key in "aircon_analog{name=\"supply_air_humidity\",$port_label,unit=\"2\"}" \
    "aircon_analog{name=\"outdoor_humidity\",$port_label,unit=\"1\"}" \
    "aircon_switch{name=\"swing\",$port_label,unit=\"2\"}" \
    "aircon_alarm{name=\"water_pump\",$port_label,unit=\"1\"}"; do
    [[ -z $(value "$key") ]] || fail "$key is on the page: the simulator reports it as not detected"
done

# Drifting readings: equal to what the simulator sent in one of its last replies of that
# unit (the page may be a cycle behind the log). INFO starts at character 13 of a frame.
word() { # frame, INFO offset, signed?
    local v=$((16#${1:13+2*$2:4}))
    ((${3:-0} && v >= 32768)) && v=$((v - 65536))
    echo "$v"
}
check_drifting() {
    local unit=$1 attempt frames v_ab v_rt ok
    local sim_unit=$((unit - 1))
    for attempt in $(seq 10); do
        scrape
        v_ab=$(value "aircon_analog{name=\"voltage_ab\",$port_label,unit=\"$unit\"}")
        v_rt=$(value "aircon_analog{name=\"return_air_temp\",$port_label,unit=\"$unit\"}")
        mapfile -t frames < <(grep " reply cid2=42 rtn=00 unit=$sim_unit " "$tmp/sim.log" |
            sed 's/.* frame=\(.*\)\\r$/\1/' | tail -n 3)
        ok=0
        for f in "${frames[@]}"; do
            [[ $(word "$f" 1) == "$v_ab" && $(word "$f" 15 1) == "$v_rt" ]] && ok=1
        done
        ((ok)) && { say "unit $unit: voltage_ab $v_ab, return_air_temp $v_rt as the simulator sent"; return 0; }
        sleep 0.5
    done
    fail "unit $unit: voltage_ab '$v_ab' and return_air_temp '$v_rt' are in none of the simulator's last replies"
}
check_drifting 1
check_drifting 2
say "the node exporter shows the simulator's values"

# --- the controller falls silent on an open port (the simulator stopped), then answers
kill -STOP "$sim_pid"
wait_value 30 "aircon_up{$port_label}" 0
expect "aircon_port_open{$port_label}" 1
[[ $page != *'aircon_analog{'* ]] || fail "readings stay on the page of a silent controller"
kill -CONT "$sim_pid"
wait_value 30 "aircon_up{$port_label}" 1
expect "aircon_reconnects_total{$port_label}" 0
say "stopped simulator: aircon_up 0 and back to 1 on the open port"

# --- every reply dropped: the port opens, commands go, nothing answers
stop_sim
wait_value 30 "aircon_port_open{$port_label}" 0
expect "aircon_up{$port_label}" 0
start_sim --drop 1.0
wait_value 60 "aircon_port_open{$port_label}" 1
missing_before=$(value "aircon_replies_missing_total{$port_label}")
# The file is rewritten after every poll cycle: wait for one whole unanswered cycle.
for _ in $(seq 150); do
    scrape
    missing_after=$(value "aircon_replies_missing_total{$port_label}")
    ((missing_after >= missing_before + 3)) && break
    sleep 0.2
done
((missing_after >= missing_before + 3)) || fail "aircon_replies_missing_total went from $missing_before to $missing_after only"
expect "aircon_up{$port_label}" 0
expect "aircon_port_open{$port_label}" 1
[[ $page != *'aircon_analog{'* ]] || fail "readings stay on the page of a silent controller"
reconnects=$(value "aircon_reconnects_total{$port_label}")
((reconnects >= 1)) || fail "aircon_reconnects_total is $reconnects after a reopening"
say "silent controller: aircon_up 0 with the port open, $((missing_after - missing_before)) replies missing"

# --- the controller answers again
stop_sim
start_sim
wait_value 60 "aircon_up{$port_label}" 1
wait_value 30 "aircon_port_open{$port_label}" 1
reconnects=$(value "aircon_reconnects_total{$port_label}")
((reconnects >= 2)) || fail "aircon_reconnects_total is $reconnects after two reopenings"
say "back: aircon_up 1, $reconnects reconnects"
say "passed"
