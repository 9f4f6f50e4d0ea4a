#!/usr/bin/env bash
# Installs what is missing, builds, and starts the demo: the controller
# simulator on a virtual serial port and the window set to that port. Click
# "打开串口" and both unit panels fill; on a machine without a display the
# window runs under Xvfb and screenshots are saved instead (see tools/demo.sh).
# Arguments go to tools/demo.sh, e.g.: bash tools/run.sh -- --noise 0.2
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target AirConTool ac_sim
if [[ ! -x build/main/AirConTool ]]; then
    echo "The window is not there yet: only the libraries, the simulator and the tests were built."
    exit 0
fi
exec bash tools/demo.sh --build build "$@"
