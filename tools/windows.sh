#!/bin/bash
# Cross build for Windows: the codec, the serial component with its Win32 platform layer and
# their tests as static .exe files, with Debian's mingw-w64 (POSIX thread model). No Qt.
#   bash tools/windows.sh [build dir]       (default: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-windows}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-posix.cmake" \
    -DBUILD_GUI=OFF -DBUILD_BENCH=OFF -DBUILD_TESTING=ON -DWERROR=ON
nice cmake --build "$dir" -j2
