#!/bin/bash
# Cross build for Windows: the poller AirConPoll.exe, the simulator ac_sim.exe (on a COM port
# only) and the tests of the codec, the helpers, the serial component with its Win32 platform
# layer and the monitoring core as static .exe files, with Debian's mingw-w64 (POSIX thread
# model). No Qt. Uses ccache when it is installed.
#   bash tools/windows.sh [build dir]       (default: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-windows}
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-posix.cmake" \
    -DBUILD_GUI=OFF -DBUILD_BENCH=OFF -DBUILD_TESTING=ON -DWERROR=ON "${launcher[@]}"
nice cmake --build "$dir" -j2
