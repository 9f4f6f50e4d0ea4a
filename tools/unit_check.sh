#!/usr/bin/env bash
# Checks the steps of AirConPoll@.service, its tmpfiles and sysusers files and the maintainer
# scripts as far as they run without systemd as the first process. Run as root (CI is):
#
#   bash tools/unit_check.sh [--deb FILE] [BUILD_DIR]     (default: build)
#
# With --deb the files and programs come from the package, else from packaging/ and BUILD_DIR.
# Every path of the unit is moved into a scratch folder; the unit's lines are carried out as
# systemd carries them out (Environment= then each EnvironmentFile= in order, "$VAR" split at
# white space, "-" ignores a failure, "+" runs as root, the rest as User= with
# SupplementaryGroups=; RuntimeDirectory= made before the first step; ExecStopPost= after the
# program ended). A real node exporter reads the scratch textfile folder all the while, and a
# watcher looks for a link that points at nothing every few milliseconds:
#   1. a link left by a power loss is gone after the boot's tmpfiles run, before the exporter
#      starts; a disabled instance leaves nothing;
#   2. starting, running and stopping an instance (several times) never leaves a link that
#      points at nothing, and the exporter never reports node_textfile_scrape_error 1;
#   3. shared and per-instance options both reach the poller, the instance's last: the
#      simulator answers only at the instance's address;
#   4. the maintainer scripts (in a mount namespace of their own where /run/systemd/system
#      exists, systemctl and deb-systemd-invoke recording their calls): an upgrade restarts the
#      running instances, a first install and a removal's prerm do not restart, a removal stops.
# What only a real boot shows: systemd's own parsing of the unit and of the environment files,
# the sandbox of the unit (ProtectSystem=strict and the "+" steps beside it), that
# systemd-tmpfiles-setup.service runs before the exporter, and ExecStopPost= at shutdown.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
deb=
build=build
while (($#)); do
    case $1 in
        --deb) deb=$(realpath "${2:?--deb needs a file}"); shift 2 ;;
        -h | --help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
        *) build=$1; shift ;;
    esac
done
[[ $(id -u) -eq 0 ]] || { echo "unit_check.sh: run as root" >&2; exit 2; }

say() { printf 'unit_check: %s\n' "$*"; }
fail() {
    printf 'unit_check: FAILED: %s\n' "$*" >&2
    for f in "$tmp"/*.log; do
        [[ -s $f ]] || continue
        printf -- '--- %s (last lines)\n' "$(basename "$f")" >&2
        tail -n 15 "$f" >&2
    done
    exit 1
}
# A check that does not hold: said now, the run goes on to the other checks and fails at the end.
faults=0
bad() {
    printf 'unit_check: FAILED: %s\n' "$*" >&2
    faults=$((faults + 1))
}
wait_until() {  # wait_until SECONDS COMMAND...
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.1
    done
}

tmp=$(mktemp -d /tmp/unit-check-XXXXXX)
chmod 755 "$tmp"
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT

# --- the files and programs under test
if [[ -n $deb ]]; then
    dpkg-deb -x "$deb" "$tmp/pkg"
    dpkg-deb -e "$deb" "$tmp/pkg/DEBIAN"
    unit_src=$tmp/pkg/usr/lib/systemd/system/AirConPoll@.service
    tmpfiles_src=$tmp/pkg/usr/lib/tmpfiles.d/airconpoll.conf
    sysusers_src=$tmp/pkg/usr/lib/sysusers.d/aircon-poll.conf
    scripts=$tmp/pkg/DEBIAN
    poller=$tmp/pkg/usr/bin/AirConPoll
    sim=$tmp/pkg/usr/bin/ac_sim
else
    if [[ ! -f $build/CMakeCache.txt ]]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    cmake --build "$build" --target AirConPoll ac_sim >/dev/null
    unit_src=$root/packaging/systemd/AirConPoll@.service
    tmpfiles_src=$root/packaging/systemd/airconpoll.tmpfiles
    sysusers_src=$root/packaging/systemd/aircon-poll.sysusers
    scripts=$root/packaging/systemd
    poller=$root/$build/AirConPoll/AirConPoll
    sim=$root/$build/tools/ac_sim
fi
for f in "$unit_src" "$tmpfiles_src" "$sysusers_src" "$scripts/postinst" "$scripts/prerm" "$poller" "$sim"; do
    [[ -e $f ]] || fail "missing: $f"
done
# The poller runs as aircon-poll: it must reach the program.
install -d -m 755 "$tmp/bin"
install -m 755 "$poller" "$tmp/bin/AirConPoll"

if command -v systemd-analyze >/dev/null; then
    sed "s|/usr/bin/AirConPoll|$tmp/bin/AirConPoll|" "$unit_src" >"$tmp/AirConPoll@ttyAC0.service"
    systemd-analyze verify --man=no "$tmp/AirConPoll@ttyAC0.service" >"$tmp/verify.log" 2>&1 ||
        fail "systemd-analyze verify finds fault with the unit"
    ! grep -q . "$tmp/verify.log" || fail "systemd-analyze verify warns"
    say "systemd-analyze verify: sound"
fi

# --- the scratch system: every path of the unit moved below $sb
sb=$tmp/sb
mkdir -p "$sb/run" "$sb/textfile" "$sb/etc/default" "$sb/dev"
chmod -R 755 "$sb"
move_paths() {
    sed -e "s|/run/airconpoll|$sb/run/airconpoll|g" \
        -e "s|/var/lib/prometheus/node-exporter|$sb/textfile|g" \
        -e "s|/etc/default/airconpoll|$sb/etc/default/airconpoll|g" \
        -e "s|/usr/bin/AirConPoll|$tmp/bin/AirConPoll|g" \
        -e "s|/dev/%I|$sb/dev/%I|g" "$1"
}
move_paths "$unit_src" >"$tmp/unit"
move_paths "$tmpfiles_src" >"$tmp/tmpfiles.conf"
# The unit's settings: key=value lines of [Service], in order.
unit_values() { sed -n "s/^$1=//p" "$tmp/unit"; }
grep -q '^ExecStopPost=' "$tmp/unit" || say "note: the unit has no ExecStopPost="

# --- sysusers: the user the unit runs as
systemd-sysusers "$sysusers_src" || fail "systemd-sysusers $sysusers_src"
id aircon-poll >/dev/null || fail "sysusers made no user aircon-poll"
user=$(unit_values User)
group=$(unit_values Group)
[[ $user == aircon-poll ]] || fail "the unit runs as '$user', not as the user of the sysusers file"
say "sysusers: the unit's user $user exists"

# Environment of one instance, as systemd builds it: Environment= assignments, then each
# EnvironmentFile= in order ("-": may be missing), later assignments replacing earlier ones.
declare -A unit_env
load_env() {
    local instance=$1 line file key value
    unit_env=()
    while IFS= read -r line; do
        for assignment in $line; do unit_env[${assignment%%=*}]=${assignment#*=}; done
    done < <(unit_values Environment)
    while IFS= read -r file; do
        file=${file//%i/$instance}
        file=${file#-}
        [[ -f $file ]] || continue
        while IFS= read -r line || [[ -n $line ]]; do
            [[ $line =~ ^[[:space:]]*([A-Za-z_][A-Za-z0-9_]*)=(.*)$ ]] || continue
            key=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]}
            if [[ $value =~ ^\"(.*)\"[[:space:]]*$ || $value =~ ^\'(.*)\'[[:space:]]*$ ]]; then
                value=${BASH_REMATCH[1]}
            fi
            unit_env[$key]=$value
        done <"$file"
    done < <(unit_values EnvironmentFile)
}
# The words of one Exec line: specifiers, then "$VAR" split at white space, "${VAR}" whole.
exec_words() {
    local line=$1 instance=$2 word name
    line=${line//%i/$instance}
    line=${line//%I/$instance}
    words=()
    for word in $line; do
        if [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
            name=${BASH_REMATCH[1]}
            # shellcheck disable=SC2206
            words+=(${unit_env[$name]:-})
        elif [[ $word =~ ^\$\{([A-Za-z_][A-Za-z0-9_]*)\}$ ]]; then
            words+=("${unit_env[${BASH_REMATCH[1]}]:-}")
        else
            words+=("$word")
        fi
    done
}
as_unit_user=(setpriv --reuid=aircon-poll --regid="$group" --groups dialout --inh-caps=-all)
# run_exec LINE INSTANCE: one ExecStartPre=/ExecStopPost= line; false when it failed and may not.
run_exec() {
    local line=$1 instance=$2 ignore=0 privileged=0
    while [[ $line == [-+@!:]* ]]; do
        case ${line:0:1} in
            -) ignore=1 ;;
            +) privileged=1 ;;
        esac
        line=${line:1}
    done
    exec_words "$line" "$instance"
    local rc=0
    if ((privileged)); then
        "${words[@]}" >>"$tmp/steps.log" 2>&1 || rc=$?
    else
        "${as_unit_user[@]}" "${words[@]}" >>"$tmp/steps.log" 2>&1 || rc=$?
    fi
    ((rc == 0 || ignore))
}

poller_pid=
# start_instance INSTANCE: as "systemctl start": runtime folder, ExecStartPre=, ExecStart=.
start_instance() {
    local instance=$1 line
    load_env "$instance"
    install -d -m "$(unit_values RuntimeDirectoryMode)" -o aircon-poll -g "$group" \
        "$sb/run/$(unit_values RuntimeDirectory)"
    while IFS= read -r line; do
        run_exec "$line" "$instance" || fail "ExecStartPre=$line failed"
    done < <(unit_values ExecStartPre)
    exec_words "$(unit_values ExecStart)" "$instance"
    started_words=("${words[@]}")
    env -i PATH=/usr/bin:/bin "${as_unit_user[@]}" "${words[@]}" >>"$tmp/poller.log" 2>&1 &
    poller_pid=$!
    pids+=("$poller_pid")
}
# stop_instance INSTANCE: as "systemctl stop": SIGTERM, then ExecStopPost=.
stop_instance() {
    local instance=$1 line
    kill -TERM "$poller_pid" 2>/dev/null || true
    wait "$poller_pid" 2>/dev/null || true
    while IFS= read -r line; do
        run_exec "$line" "$instance" || fail "ExecStopPost=$line failed"
    done < <(unit_values ExecStopPost)
}

# --- 1. a boot after a power loss: a link of an instance that did not stop is left
ln -s "$sb/run/airconpoll/ttyAC0.prom" "$sb/textfile/airconpoll-ttyAC0.prom"
echo '# not ours' >"$sb/textfile/other.prom"
systemd-tmpfiles --create --remove --boot "$tmp/tmpfiles.conf" >"$tmp/tmpfiles.log" 2>&1 ||
    fail "systemd-tmpfiles at boot failed"
[[ -d $sb/run/airconpoll && $(stat -c %U "$sb/run/airconpoll") == aircon-poll ]] ||
    bad "tmpfiles made no runtime folder of aircon-poll"
[[ -e $sb/textfile/airconpoll-ttyAC0.prom || -L $sb/textfile/airconpoll-ttyAC0.prom ]] &&
    bad "the link left by the power loss is still there after the boot's tmpfiles run"
[[ -f $sb/textfile/other.prom ]] || bad "tmpfiles removed a file that is not the poller's"
# Run again while the system is up (a package's postinst does so): no running instance's link
# may go.
ln -s "$sb/run/airconpoll/ttyAC5.prom" "$sb/textfile/airconpoll-ttyAC5.prom"
mkdir -p "$sb/run/airconpoll"
touch "$sb/run/airconpoll/ttyAC5.prom"
systemd-tmpfiles --create "$tmp/tmpfiles.conf" >>"$tmp/tmpfiles.log" 2>&1 || fail "systemd-tmpfiles --create"
[[ -L $sb/textfile/airconpoll-ttyAC5.prom ]] || bad "tmpfiles --create removed a running instance's link"
rm -f "$sb/textfile/airconpoll-ttyAC5.prom" "$sb/run/airconpoll/ttyAC5.prom"
say "boot: a link left by a power loss is removed, the runtime folder made; --create alone keeps links"

# --- the exporter and the watcher, from the end of the boot on
as_exporter=()
id prometheus >/dev/null 2>&1 && as_exporter=(setpriv --reuid=prometheus --regid=prometheus --clear-groups)
"${as_exporter[@]}" prometheus-node-exporter --web.listen-address=127.0.0.1:0 \
    --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$sb/textfile" >"$tmp/exporter.log" 2>&1 &
pids+=($!)
address=
wait_until 10 grep -q 'msg="Listening on"' "$tmp/exporter.log" || fail "the node exporter did not start"
address=$(sed -n 's/.*msg="Listening on" address=\([0-9.:]*\).*/\1/p' "$tmp/exporter.log" | head -n 1)
scrape() { curl -fsS --max-time 5 "http://$address/metrics"; }
scrape_error() { scrape | sed -n 's/^node_textfile_scrape_error \(.*\)$/\1/p'; }
(
    while :; do
        find "$sb/textfile" -xtype l -printf '%p -> %l\n' >>"$tmp/dangling.log" 2>/dev/null
        sleep 0.005
    done
) &
pids+=($!)
(
    while :; do
        scrape_error >>"$tmp/scrape-errors.log" 2>/dev/null || true
        sleep 0.05
    done
) &
pids+=($!)
[[ $(scrape_error) == 0 ]] || bad "the exporter reports a scrape error after the boot"

# --- 2. and 3. an instance on the simulator, with shared and per-instance options
printf 'AIRCONPOLL_OPTIONS="--addr 1 --interval 200 --params-interval 0"\n' >"$sb/etc/default/airconpoll"
printf '# ttyAC0 only\nAIRCONPOLL_INSTANCE_OPTIONS="--addr 2"\n' >"$sb/etc/default/airconpoll-ttyAC0"
"$sim" --link "$sb/dev/ttyAC0" --addr 2 --log "$tmp/sim.log" >"$tmp/sim.out" 2>&1 &
pids+=($!)
wait_until 10 test -L "$sb/dev/ttyAC0" || fail "the simulator did not start"
node=$(readlink -f "$sb/dev/ttyAC0")
chgrp dialout "$node"
chmod 660 "$node"

metrics_of() { scrape | grep -E "^aircon_up\{[^}]*\} $1\$" >/dev/null; }
for round in 1 2 3; do
    start_instance ttyAC0
    wait_until 20 metrics_of 1 || bad "round $round: the exporter never showed aircon_up 1 of the instance"
    [[ -L $sb/textfile/airconpoll-ttyAC0.prom ]] || bad "round $round: no link while the instance runs"
    stop_instance ttyAC0
    [[ -e $sb/textfile/airconpoll-ttyAC0.prom || -L $sb/textfile/airconpoll-ttyAC0.prom ]] &&
        bad "round $round: the link stays after the instance stopped"
done
# A crash: the program is killed, systemd runs ExecStopPost= all the same. (Last: the
# simulator keeps its end of the pseudo-terminal open, so the exclusive use the killed
# poller took stays on it.)
start_instance ttyAC0
wait_until 20 metrics_of 1 || bad "the exporter never showed aircon_up 1 before the crash"
kill -KILL "$poller_pid"
stop_instance ttyAC0
[[ -e $sb/textfile/airconpoll-ttyAC0.prom || -L $sb/textfile/airconpoll-ttyAC0.prom ]] &&
    bad "the link stays after the instance failed"
# The shared options and the instance's, in this order: the simulator at address 2 answered.
args=" ${started_words[*]} "
[[ $args == *" --interval 200 --params-interval 0 "* ]] || bad "the shared options did not reach the poller: $args"
[[ $args == *" --addr 1 "*" --addr 2 "* ]] || bad "the instance's options do not come last: $args"
say "options: shared and per-instance both given, the instance's last: $args"
# A disabled instance (never started): nothing of it in the exporter's folder.
[[ -z $(find "$sb/textfile" -name 'airconpoll-ttyAC9*') ]] || bad "a disabled instance left something"
sleep 0.2
if [[ -s $tmp/dangling.log ]]; then
    bad "a link pointed at nothing $(wc -l <"$tmp/dangling.log") times, e.g. $(head -1 "$tmp/dangling.log")"
fi
if grep -qv '^0$' "$tmp/scrape-errors.log"; then
    bad "the exporter reported node_textfile_scrape_error 1 ($(grep -cv '^0$' "$tmp/scrape-errors.log") scrapes)"
fi
say "start, run and stop three times, and a crash: no link ever pointed at nothing ($(wc -l <"$tmp/scrape-errors.log") scrapes, all without error)"

# --- 4. the maintainer scripts against a recording systemctl
fake=$tmp/fakebin
mkdir -p "$fake"
for tool in systemctl deb-systemd-invoke systemd-sysusers systemd-tmpfiles; do
    cat >"$fake/$tool" <<EOF
#!/bin/sh
echo "$tool \$*" >>"$tmp/calls.log"
case "$tool \$*" in
    "systemctl list-units"*) printf 'AirConPoll@ttyUSB0.service loaded active running x\nAirConPoll@ttyS1.service loaded activating auto-restart x\n' ;;
esac
exit 0
EOF
    chmod 755 "$fake/$tool"
done
# maint SCRIPT ARGS...: the calls the script makes to the service manager.
maint() {
    local script=$1
    shift
    : >"$tmp/calls.log"
    # shellcheck disable=SC2016
    unshare --mount sh -c 'mount -t tmpfs none /run && mkdir -p /run/systemd/system &&
        PATH="$0:/usr/sbin:/usr/bin:/sbin:/bin" exec sh "$@"' "$fake" "$scripts/$script" "$@" ||
        fail "$script $* failed"
    grep -E '^(systemctl|deb-systemd-invoke) ' "$tmp/calls.log" | grep -v 'list-units\|daemon-reload' || true
}
calls=$(maint postinst configure 1.0.0)
[[ $calls == *"restart AirConPoll@ttyUSB0.service AirConPoll@ttyS1.service"* ]] ||
    bad "an upgrade does not restart the running pollers (calls: ${calls:-none})"
calls=$(maint postinst configure)
[[ $calls != *restart* ]] || bad "a first install restarts pollers: $calls"
calls=$(maint prerm upgrade 1.1.0)
[[ -z $calls ]] || bad "prerm upgrade touches the pollers: $calls"
calls=$(maint prerm remove)
[[ $calls == *"stop AirConPoll@*.service"* ]] || bad "prerm remove does not stop the pollers: $calls"
say "maintainer scripts: an upgrade restarts the running pollers, a removal stops them"
((faults == 0)) || fail "$faults checks do not hold"
say "all checks passed"
