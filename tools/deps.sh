#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Safe to run again and again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libx11-dev qt6-charts-dev libqt6opengl6-dev poppler-utils
    clang libclang-rt-14-dev
    xvfb xauth xdotool x11-apps imagemagick fonts-wqy-microhei
    # The alerting rules' tests (tests/prometheus): promtool, amtool and Alertmanager, and
    # Python with YAML for their scripts. About 30 MB to fetch, 140 MB installed, some 10 s.
    prometheus prometheus-alertmanager python3 python3-yaml
)

# "bash tools/deps.sh package": also what building and checking the Debian package needs.
if [[ ${1:-} == package ]]; then
    packages+=(dpkg-dev lintian appstream desktop-file-utils)
fi
# "bash tools/deps.sh windows": the cross build for Windows and its check under Wine.
if [[ ${1:-} == windows ]]; then
    packages+=(g++-mingw-w64-x86-64-posix wine wine64 socat)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
