#!/usr/bin/env bash
# Checks the Debian package as a user meets it. Run as root (CI is):
#   bash tools/package_check.sh [--deb FILE] [--shots DIR]
#
# 1. Builds the .deb (tools/package.sh) unless --deb names one, and validates it: the files it
#    installs, desktop-file-validate, appstreamcli validate --no-net, lintian (errors fail the
#    check, warnings are printed); the poller's unit steps as far as they run without systemd
#    (tools/unit_check.sh).
# 2. Unpacks it into a folder owned by root, as an installed program lives, and runs the installed
#    AirConTool under Xvfb as an unprivileged user (created when missing) with its own HOME:
#    - against the simulator on a port of the user's own: "打开串口" opens the link (the simulator
#      logs the commands), no message box appears, and the settings land in the user's
#      ~/.config/AirConTool/ComSetting.ini, with the file beside the executable as starting values;
#    - on a device of root's in group dialout, for a user outside that group: the message tells
#      the user to join dialout and log in again; for a user added to the group but not logged in
#      again: the message says to log in again; for a session that holds the group: the link
#      opens.
# The window echoes its message boxes to standard error (AIRCONTOOL_ECHO_MESSAGES) so that this
# script can read them. Screenshots of each run are left in --shots (default build-package/check).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deb=
shots=$root/build-package/check
while (($#)); do
    case $1 in
        --deb) deb=$(realpath "${2:?--deb needs a file}"); shift 2 ;;
        --shots) shots=${2:?--shots needs a folder}; shift 2 ;;
        -h | --help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
        *) echo "package_check.sh: unknown option '$1'" >&2; exit 2 ;;
    esac
done
if [[ $(id -u) -ne 0 ]]; then
    echo "package_check.sh: run as root (it unpacks into a root-owned folder and runs as another user)" >&2
    exit 2
fi
cd "$root"
bash tools/deps.sh package

fail() { echo "package_check: FAILED: $*" >&2; exit 1; }
pass() { echo "package_check: ok: $*"; }

wait_until() {  # wait_until SECONDS COMMAND...: true once COMMAND succeeds
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.2
    done
}

# ---------------------------------------------------------------------------------------------
# 1. Build and validate

if [[ -z $deb ]]; then
    deb=$(bash tools/package.sh | tail -1)
fi
[[ -f $deb ]] || fail "no package at '$deb'"
echo "== package: $deb"
dpkg-deb --info "$deb"

work=$(mktemp -d /tmp/aircon-package-check.XXXXXX)
chmod 755 "$work"
pids=()
added_to_dialout=0
user=aircon-check
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    if ((added_to_dialout)); then gpasswd -d "$user" dialout >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

inst=$work/root  # the package unpacked: owned by root, as under /
install -d -m 755 "$inst"
dpkg-deb -x "$deb" "$inst"
dpkg-deb --contents "$deb" | awk '{ print $1, $2, $6 }' >"$work/contents"
for f in usr/bin/AirConTool usr/bin/ac_sim \
         usr/share/applications/io.github.basestation.AirConTool.desktop \
         usr/share/icons/hicolor/scalable/apps/io.github.basestation.AirConTool.svg \
         usr/share/metainfo/io.github.basestation.AirConTool.metainfo.xml \
         usr/share/doc/aircon-tool/copyright usr/share/doc/aircon-tool/changelog.Debian.gz \
         usr/share/man/man1/AirConTool.1.gz usr/share/man/man1/ac_sim.1.gz \
         usr/bin/AirConPoll usr/share/man/man1/AirConPoll.1.gz etc/default/airconpoll \
         usr/lib/systemd/system/AirConPoll@.service usr/lib/sysusers.d/aircon-poll.conf; do
    [[ -e $inst/$f ]] || fail "the package does not install /$f"
done
if awk '$2 != "root/root"' "$work/contents" | grep -q .; then
    fail "files not owned by root/root in the package: $(awk '$2 != "root/root"' "$work/contents")"
fi
depends=$(dpkg-deb --field "$deb" Depends)
[[ $depends == *libqt6widgets6* && $depends == *libc6* ]] || fail "Depends lacks the libraries: $depends"
pass "installs the programs, menu entry, icon, metainfo, manual pages, copyright, changelog"
echo "Depends: $depends"

echo "== desktop-file-validate"
desktop-file-validate "$inst"/usr/share/applications/*.desktop || fail "desktop-file-validate"
pass "desktop-file-validate"
echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net "$inst"/usr/share/metainfo/*.metainfo.xml || fail "appstreamcli validate"
pass "appstreamcli validate"
echo "== lintian"
lintian_rc=0
lintian --fail-on error --display-info "$deb" >"$work/lintian.out" 2>&1 || lintian_rc=$?
cat "$work/lintian.out"
((lintian_rc == 0)) || fail "lintian reports errors"
pass "lintian: no errors ($(grep -c '^W: ' "$work/lintian.out" || true) warnings)"
echo "== the poller's unit, tmpfiles, sysusers and maintainer scripts, without systemd as PID 1"
bash tools/unit_check.sh --deb "$deb" || fail "tools/unit_check.sh"
pass "the unit's steps: no link ever points at nothing, options add up, upgrades restart pollers"

# ---------------------------------------------------------------------------------------------
# 2. The installed program as an ordinary user

if ! id "$user" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
            --shell /usr/sbin/nologin "$user"
fi
# The checks start with a user outside dialout (a run stopped half-way may have left it in).
if id -nG "$user" | tr ' ' '\n' | grep -qx dialout; then gpasswd -d "$user" dialout >/dev/null; fi
uid=$(id -u "$user") gid=$(id -g "$user")
dialout_gid=$(getent group dialout | cut -d: -f3)
[[ -n $dialout_gid ]] || fail "no group dialout on this machine"
home=$work/home
install -d -m 700 -o "$user" -g "$gid" "$home" "$work/run"
# A folder of root's for the devices of root's.
install -d -m 755 "$work/devs"
mkdir -p "$shots"
# Nothing of the package is writable for the user.
if setpriv --reuid="$uid" --regid="$gid" --clear-groups test -w "$inst/usr/bin"; then
    fail "the unpacked program folder is writable for $user"
fi

# as_user GROUPS: sets "as_user" to the command prefix that runs a program as the user in a clean
# environment; GROUPS are the supplementary groups the session holds ("" for none). The prefix
# execs the program, so that a program started in the background has the process id in $!.
as_user() {
    local grp=(--clear-groups)
    [[ -n $1 ]] && grp=(--groups "$1")
    as_user=(setpriv --reuid="$uid" --regid="$gid" "${grp[@]}"
             env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin LANG=C.UTF-8
             XDG_RUNTIME_DIR="$work/run" DISPLAY=":$display" AIRCONTOOL_ECHO_MESSAGES=1)
}

echo "== Xvfb"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.out" 2>&1 &
pids+=($!)
wait_until 30 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.out")"
display=$(head -1 "$work/display")
export DISPLAY=:$display

# Design position of "打开串口" in the window: group at (8, 2), button at (638, 18), 75 x 25.
open_x=$((8 + 638 + 37)) open_y=$((2 + 18 + 12))

app_pid=
# start_app NAME GROUPS: starts the installed window as the user and waits for it to show.
start_app() {
    local name=$1 groups=$2
    as_user "$groups"
    "${as_user[@]}" "$inst/usr/bin/AirConTool" >"$work/$name.out" 2>&1 &
    app_pid=$!
    pids+=("$app_pid")
    wid=$(timeout 60 xdotool search --sync --onlyvisible --pid "$app_pid" 2>/dev/null | head -1) || true
    [[ -n $wid ]] || fail "$name: the window did not appear: $(cat "$work/$name.out")"
    sleep 1  # let it paint once before the click
}
stop_app() {
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
}
click_open() { xdotool mousemove --window "$wid" "$open_x" "$open_y" click 1; }
error_box_shown() { xdotool search --onlyvisible --name '^错误' >/dev/null 2>&1; }
commands_logged() { [[ $(grep -c ' command ' "$1" 2>/dev/null || true) -gt 0 ]]; }
shot() { import -window root "$shots/$1.png" 2>/dev/null || true; }

# --- 2a. A port of the user's own: the link opens, settings go to ~/.config ---------------------
echo "== the installed window opens the simulator's port"
link=$home/ttyACSIM0
as_user ""
"${as_user[@]}" "$inst/usr/bin/ac_sim" --link "$link" --log "$home/ac_sim.log" >"$work/sim.out" 2>&1 &
pids+=($!)
wait_until 20 test -L "$link" || fail "the simulator did not start: $(cat "$work/sim.out")"
# Starting values beside the executable, as an administrator may leave them.
printf '[ComPort1]\nPort=%s\nBaudRate=9600\n' "$link" >"$inst/usr/bin/ComSetting.ini"
beside_sum=$(md5sum <"$inst/usr/bin/ComSetting.ini")

start_app app-open ""
click_open
wait_until 30 commands_logged "$home/ac_sim.log" ||
    fail "the click on 打开串口 opened no link (no command reached the simulator): $(cat "$work/app-open.out")"
settings=$home/.config/AirConTool/ComSetting.ini
wait_until 10 test -f "$settings" || fail "no settings file at $settings"
sleep 2  # a few poll cycles
shot installed-open
error_box_shown && fail "a message box titled 错误 appeared"
grep -q '^\[' "$work/app-open.out" && fail "a message box was shown: $(grep '^\[' "$work/app-open.out")"
grep -qx "Port=$link" "$settings" || fail "the per-user settings do not hold the port: $(cat "$settings")"
[[ $(stat -c %U "$settings") == "$user" ]] || fail "the settings file is not the user's"
[[ $(stat -c %a "$home/.config/AirConTool") == 700 ]] || fail "the settings folder is not private"
[[ $(md5sum <"$inst/usr/bin/ComSetting.ini") == "$beside_sum" ]] || fail "the file beside the executable changed"
replies=$(grep -c ' reply ' "$home/ac_sim.log" || true)
((replies > 0)) || fail "the simulator sent no reply"
stop_app
pass "link opened without a message box ($replies replies), settings in ~/.config/AirConTool"

# --- 2b. A device of root's in group dialout ---------------------------------------------------
root_link=$work/devs/ttyACROOT
"$inst/usr/bin/ac_sim" --link "$root_link" --log "$work/devs/ac_sim.log" >"$work/sim-root.out" 2>&1 &
pids+=($!)
wait_until 20 test -L "$root_link" || fail "the simulator (root) did not start: $(cat "$work/sim-root.out")"
node=$(readlink -f "$root_link")
chgrp dialout "$node"
chmod 660 "$node"
echo "device: $node $(stat -c '%A %U:%G' "$node")"
# The stored port becomes the device of root's (the user's own settings file, edited as the user).
as_user ""
"${as_user[@]}" sed -i "s|^Port=.*|Port=$root_link|" "$settings"

# permission_case NAME GROUPS EXPECTED...: the open fails with a message holding every EXPECTED.
permission_case() {
    local name=$1 groups=$2
    shift 2
    start_app "$name" "$groups"
    click_open
    wait_until 20 grep -q '^\[错误\]' "$work/$name.out" ||
        fail "$name: no message box: $(cat "$work/$name.out")"
    sleep 0.5
    shot "$name"
    error_box_shown || fail "$name: the message box is not on screen"
    local text expected
    text=$(sed -n '/^\[错误\]/,$p' "$work/$name.out")
    echo "$text"
    for expected in "$@"; do
        [[ $text == *"$expected"* ]] || fail "$name: the message lacks '$expected'"
    done
    [[ $text == *"已被其它应用程序打开"* ]] && fail "$name: a permission failure reported as in use"
    stop_app
}

echo "== a user outside dialout"
permission_case permission-outsider "" "无权使用串口设备 $node" "dialout 组" \
    "sudo usermod -aG dialout $user" "重新登录"
pass "a user outside dialout is told to join it and log in again"

echo "== a user added to dialout who has not logged in again"
usermod -aG dialout "$user"
added_to_dialout=1
permission_case permission-not-logged-in "" "已加入 dialout 组" "重新登录"
pass "a user added to dialout is told to log in again"

echo "== a session that holds dialout"
start_app app-dialout "$dialout_gid"
click_open
wait_until 30 commands_logged "$work/devs/ac_sim.log" ||
    fail "a member of dialout could not open the device: $(cat "$work/app-dialout.out")"
sleep 1
shot installed-dialout
grep -q '^\[' "$work/app-dialout.out" && fail "a message box was shown: $(grep '^\[' "$work/app-dialout.out")"
grep -qx "Port=$root_link" "$settings" || fail "the settings were not stored again"
stop_app
pass "a member of dialout opens the device"

echo "Screenshots: $shots"
echo "package_check: all checks passed"
